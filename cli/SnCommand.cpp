// devedactl sn: serial-number arithmetic as a production run applies it.
#include <cctype>
#include <cstdio>
#include <string>

#include "cli/CliCommand.h"
#include "config/SerialNumber.h"

namespace {

bool ParseCount(const std::string& text, unsigned& count)
{
    if (text.empty() || text.size() > 3) return false;
    count = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        count = count * 10 + static_cast<unsigned>(c - '0');
    }
    return count <= 255;
}

int RunSn(const cli::Args& args)
{
    if (args.empty() || args[0] != "advance") return cli::UsageError("sn: expected 'advance'");
    std::vector<std::string> words;
    int radix = 0;  // 16 or 10 once given
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--hex" || args[i] == "--dec") {
            const int given = args[i] == "--hex" ? 16 : 10;
            if (radix != 0 && radix != given) return cli::UsageError("sn advance: give only one of --hex and --dec");
            radix = given;
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.size() != 2) return cli::UsageError("sn advance: expected SN COUNT --hex|--dec");
    if (radix == 0) return cli::UsageError("sn advance: give --hex or --dec");
    unsigned count = 0;
    if (!ParseCount(words[1], count))
        return cli::UsageError("sn advance: COUNT '" + words[1] + "' is not a number from 0 to 255");
    if (words[0].empty()) return cli::UsageError("sn advance: SN is empty");
    // A serial of another radix has no place in the arithmetic: its digits would be dropped.
    for (char c : words[0])
        if (radix == 16 ? !std::isxdigit(static_cast<unsigned char>(c)) : !std::isdigit(static_cast<unsigned char>(c)))
            return cli::UsageError("sn advance: SN '" + words[0] + "' is not " +
                                   (radix == 16 ? "hexadecimal (0-9, A-F)" : "decimal (0-9)"));
    std::printf("%s\n", vAddLimitSN(words[0], static_cast<uint8_t>(count), radix == 16).c_str());
    return 0;
}

}  // namespace

DEVEDA_CLI_COMMAND("sn", RunSn,
                   "  sn advance SN COUNT --hex|--dec   print SN advanced by COUNT (0..255)");
