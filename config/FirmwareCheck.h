#pragma once
// Bridge firmware image checks made before a run: the firmware file naming rule
// against the version stored inside the image, the image's signature byte against
// the chip's major revision, and the USB4 BCD revision derived from the file name.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/IniSettings.h"

// Prefix every bridge firmware file name starts with.
inline constexpr const char* kFWFileNamePrefix = "BR_USB4_";
// Prefix (8) + version field (15) + ".bin" (4).
inline constexpr size_t kFWFileNameLength = 27;
inline constexpr size_t kFWVersionFieldLength = 15;
// Offset and length of the firmware version inside the image.
inline constexpr size_t kFWImageVersionOffset = 0x204;
inline constexpr size_t kFWImageVersionLength = 6;
// The signature byte sits this many bytes before the end of the image.
inline constexpr size_t kFWSignatureFromEnd = 6;
// Returned by uGet7951FWSignatureFromeBin when the file gives no signature; it
// matches no chip revision.
inline constexpr uint8_t kFWNoSignature = 0xFF;

// Reads a whole file; nullopt when it does not exist or cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

// Signature byte of an image: the byte at (length - 6). kFWNoSignature when the file
// is missing or shorter than 6 bytes.
uint8_t uGet7951FWSignatureFromeBin(const std::string& strFWFileName);

// Signature of a checksum image and of a CRC32 image for a chip major revision 0..7.
struct FWSignaturePair {
    uint8_t ucCheckSum;
    uint8_t ucCRC32;
};
std::optional<FWSignaturePair> FWSignatureForRevision(unsigned ucChipMajorRevision);

// True when the image signature belongs to the chip's major revision (either the
// checksum or the CRC32 form).
bool bCmp7951ChipAndFWVersion(unsigned ucChipMajorRevision, uint8_t ucFWSignature);

// Version stored in the image, bytes 0x204..0x209 as twelve lower-case hex digits;
// nullopt when the image is too short to hold it.
std::optional<std::string> strFWVersionFromImage(const std::vector<uint8_t>& image);

// Version field of the file name: the 15 characters after the prefix that follows
// the last path separator ('/' or '\'), with every '_' removed. May be shorter than
// 12 characters for a short name.
std::string strFWVersionFromFileName(const std::string& strFWFileName);

// The file naming rule: the last 27 characters of the path hold the prefix, and the
// version field of the name equals (ignoring case) the version inside the image.
bool bCheckFWFile(const std::string& strFWFileName);

// What is wrong with the firmware file at `path`, in words naming the file: it
// is missing, empty, too short for an image, ends with a signature byte of no
// chip, or holds another version than its name says. Empty when none of these
// holds (whether the signature fits an attached chip is the run's own check).
std::string strFWFileRefusal(const std::string& path);

// USB4 BCD product firmware revision derived from the firmware file name: of the
// date after the prefix (YYMMDD) the revision is Y2, the month as one hex digit, and
// the two day digits ("4C31" for 31 December 2024). nullopt when the file does not
// exist or its name carries no well-formed date.
std::optional<std::string> strBcdRevisionFromFWFile(const std::string& strFWFileName);

// The BCD synchronisation (at start-up and after each firmware browse): when
// `USB4_BcdSync` is 1 and the revision can be derived from `fw_binary_name`, it is
// stored in `USB4_BcdProductFWRevision` and true is returned; otherwise the field
// keeps its value.
bool bSyncUSB4BcdProductFWRevision(IniSettings& ini);
