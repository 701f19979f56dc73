#include "security/SHA256KeyDlg.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "log/DebugLog.h"

namespace {
constexpr size_t kFieldReadLimit = 127;
constexpr size_t kFieldDigits = 8;
}  // namespace

std::string strFilterSHA256KeyField(const std::string& text, int* caret)
{
    const size_t limit = std::min(text.size(), kFieldReadLimit);
    const size_t oldCaret = caret && *caret > 0 ? static_cast<size_t>(*caret) : 0;
    std::string kept;
    size_t newCaret = 0;
    for (size_t i = 0; i < limit && kept.size() < kFieldDigits; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isxdigit(c)) continue;
        kept.push_back(static_cast<char>(std::toupper(c)));
        if (i < oldCaret) newCaret = kept.size();
    }
    if (caret) *caret = static_cast<int>(newCaret);
    return kept;
}

void CSHA256KeyDlgModel::OnInitDialog(bool bSHA256Option)
{
    for (size_t i = 0; i < kFields; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(CSHA256::kKeyWords[i]));
        m_strEditSHA256Key[i] = text;
    }
    m_bCheck = bSHA256Option;
}

std::string CSHA256KeyDlgModel::OnEnChangeEditSha256Key(int number, const std::string& text, int* caret)
{
    if (number < 1 || number > static_cast<int>(kFields)) {
        DBG_ERR("%s:%d: OnEnChangeEditSha256Key%d: no such field", number);
        return "";
    }
    std::string& field = m_strEditSHA256Key[static_cast<size_t>(number - 1)];
    field = strFilterSHA256KeyField(text, caret);
    return field;
}

const std::string& CSHA256KeyDlgModel::Field(int number) const
{
    static const std::string empty;
    if (number < 1 || number > static_cast<int>(kFields)) return empty;
    return m_strEditSHA256Key[static_cast<size_t>(number - 1)];
}

void CSHA256KeyDlgModel::OnClose(bool ok, bool& bSHA256Option) const
{
    if (ok) bSHA256Option = m_bCheck;
}
