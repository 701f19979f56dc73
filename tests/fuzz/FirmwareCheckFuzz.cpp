// Firmware name and image checks: the first byte gives the name's length, the
// name follows, the rest is the image written under that name.
#include <algorithm>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/FirmwareCheck.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const size_t nameLength = std::min<size_t>(data[0], size - 1);
    std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
    // The name is one file in the scratch folder.
    for (char& c : name)
        if (c == '/' || c == '\0') c = '_';
    if (name.empty() || name == "." || name == "..") name = "fw.bin";
    const std::vector<uint8_t> image(data + 1 + nameLength, data + size);

    strFWVersionFromFileName(name);
    strFWVersionFromImage(image);
    const std::string path = fuzzsupport::WriteScratch(name, image.data(), image.size());
    for (unsigned rev = 0; rev < 9; ++rev) bCmp7951ChipAndFWVersion(rev, uGet7951FWSignatureFromeBin(path));
    bCheckFWFile(path);
    IniSettings settings = DefaultIniSettings();
    SetIniString(settings.fw_binary_name, path);
    if (bSyncUSB4BcdProductFWRevision(settings) && IniStringLength(settings.USB4_BcdProductFWRevision) != 4)
        __builtin_trap();
    std::filesystem::remove(path);
    return 0;
}
