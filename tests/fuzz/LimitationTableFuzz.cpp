// The limitation-table load and its comparison against a device.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "config/LimitationTable.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::Quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CLimitationTable table;
    table.vLoadLimitationTable(fuzzsupport::WriteScratch("LimitationTable.ini", data, size));
    const std::string text(reinterpret_cast<const char*>(data), size);
    LimitationDeviceTexts device{text.substr(0, 12), "Brevnor", "BRV795X series", "2B9D", "7953"};
    const int result = table.iCheckLimitation({device});
    if (result != 0 && result != -2 && result != -3) __builtin_trap();
    return 0;
}
