#pragma once
// The "Modify SHA256 initial Key" dialog's state without a window. The key the
// bridges receive is CSHA256's (device/SHA256.h); the dialog only shows it.
#include <array>
#include <cstdint>
#include <string>

#include "device/SHA256.h"

// Filters a key field's text: of at most the first 127 characters keeps only 0-9,
// a-f, A-F, cuts after the 8th such character and converts to upper case. `caret`
// (a position in `text`) is moved to the same place in the filtered text.
std::string strFilterSHA256KeyField(const std::string& text, int* caret = nullptr);

// State of the "Modify SHA256 initial Key" dialog without any window: the eight
// field texts and the check box that switches the SHA-256 step on.
class CSHA256KeyDlgModel {
public:
    static constexpr size_t kFields = CSHA256::kKeyWords.size();

    // Opening: the fields show H0..H7 as lower-case hex without leading zeros, the
    // check box shows the current option.
    void OnInitDialog(bool bSHA256Option);

    // Change of field `number` (1..8) to `text` with the caret at `caret`: the field
    // keeps the filtered text; returns it and moves the caret to match. A field
    // number outside 1..8 changes nothing and returns an empty text.
    std::string OnEnChangeEditSha256Key(int number, const std::string& text, int* caret = nullptr);

    void SetCheck(bool checked) { m_bCheck = checked; }
    bool GetCheck() const { return m_bCheck; }
    const std::string& Field(int number) const;  // 1..8

    // Closing: with OK the option takes the check box's value; with Cancel it stays.
    // The field texts are for display only and never change the key that is sent.
    void OnClose(bool ok, bool& bSHA256Option) const;

private:
    std::array<std::string, kFields> m_strEditSHA256Key;
    bool m_bCheck = false;
};
