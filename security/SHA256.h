#pragma once
// The SHA-256 key written into the bridges, and a model of its dialog's state.
//
// The key is always the initial hash value H0..H7 of the SHA-256 standard; a
// CSHA256 object is made for each send or verify command.
#include <array>
#include <cstdint>
#include <string>

class CSHA256 {
public:
    static constexpr size_t kKeyWords = 8;
    static constexpr size_t kKeyBytes = 4 * kKeyWords;

    CSHA256();

    // Key word K1..K8 (index 0..7); K1 = H0 .. K8 = H7.
    uint32_t ulKeyWord(size_t index) const { return m_aulKey.at(index); }
    const std::array<uint32_t, kKeyWords>& Key() const { return m_aulKey; }

    // Wire form, the data of the send-key command: K1..K8 in order, each word most
    // significant byte first.
    std::array<uint8_t, kKeyBytes> KeyBytes() const;

private:
    std::array<uint32_t, kKeyWords> m_aulKey;
};

// The 32 key bytes to send to a bridge (the wire form of a fresh CSHA256).
std::array<uint8_t, CSHA256::kKeyBytes> SHA256KeyBytesToSend();

// Filters a key field's text: of at most the first 127 characters keeps only 0-9,
// a-f, A-F, cuts after the 8th such character and converts to upper case. `caret`
// (a position in `text`) is moved to the same place in the filtered text.
std::string strFilterSHA256KeyField(const std::string& text, int* caret = nullptr);

// State of the "Modify SHA256 initial Key" dialog without any window: the eight
// field texts and the check box that switches the SHA-256 step on.
class CSHA256KeyDlgModel {
public:
    static constexpr size_t kFields = CSHA256::kKeyWords;

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
