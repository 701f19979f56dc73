// devedactl table: composes the configuration table and USB4 block of one device
// from a settings file, and decodes a 128-byte table file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "cli/CliCommand.h"
#include "cli/CliText.h"
#include "config/ConfigTable.h"
#include "config/FirmwareCheck.h"
#include "config/Ini.h"
#include "config/TableText.h"
#include "config/U4ConfigTable.h"

namespace {

constexpr const char* kUsage =
    "  table compose --ini FILE --index N [--disk-sn SN] [--u4-from FILE]\n"
    "  table decode FILE [--as config1|config4|u4] [--json]";

// A 128-byte table file; nullopt (with a message) when it is missing or has
// another size.
std::optional<TableBytes> ReadTableFile(const std::string& path)
{
    const auto data = ReadWholeFile(path);
    if (!data) {
        std::fprintf(stderr, "devedactl: cannot read %s: %s\n", path.c_str(), cli::SystemErrorText(errno).c_str());
        return std::nullopt;
    }
    if (data->size() != CONFIG_BIN_SIZE) {
        std::fprintf(stderr, "devedactl: %s holds %zu bytes, a table holds %zu\n", path.c_str(), data->size(),
                     static_cast<size_t>(CONFIG_BIN_SIZE));
        return std::nullopt;
    }
    TableBytes table;
    std::copy(data->begin(), data->end(), table.begin());
    return table;
}

bool ParseIndex(const std::string& text, uint8_t& index)
{
    if (text.empty() || text.size() > 2 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const int value = std::atoi(text.c_str());
    if (value > 15) return false;
    index = static_cast<uint8_t>(value);
    return true;
}

void PrintTable(const char* title, const TableBytes& table)
{
    std::printf("%s\n%s", title, strTableHexLines(table).c_str());
}

int Compose(const cli::Args& args)
{
    std::string ini, diskSN, u4From;
    std::optional<uint8_t> index;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option != "--ini" && option != "--index" && option != "--disk-sn" && option != "--u4-from")
            return cli::UsageError("table compose: unknown argument '" + option + "'");
        if (i + 1 >= args.size()) return cli::UsageError("table compose: " + option + " needs a value");
        const std::string& value = args[++i];
        if (option == "--ini") {
            ini = value;
        } else if (option == "--index") {
            uint8_t n = 0;
            if (!ParseIndex(value, n)) return cli::UsageError("table compose: --index must be 0..15, not '" + value + "'");
            index = n;
        } else if (option == "--disk-sn") {
            diskSN = value;
        } else {
            u4From = value;
        }
    }
    if (ini.empty()) return cli::UsageError("table compose: --ini FILE is required");
    if (!index) return cli::UsageError("table compose: --index N is required");

    Ini settings;
    settings.m_bMessageToFile = false;
    if (!std::filesystem::is_regular_file(ini)) {
        std::fprintf(stderr, "devedactl: settings file %s does not exist\n", ini.c_str());
        return 1;
    }
    if (!settings.vLoadINIFile(ini)) {
        std::fprintf(stderr, "devedactl: settings file %s did not load\n", ini.c_str());
        return 1;
    }
    IniSettings& record = settings.m_pINI;

    U4ConfigTable lastRead;
    lastRead.fill(0xFF);
    if (!u4From.empty()) {
        const auto table = ReadTableFile(u4From);
        if (!table) return 1;
        std::copy(table->begin(), table->end(), lastRead.begin());
    }

    const uint8_t format = record.config_format;
    if (format == kConfigFormatKeep) {
        std::printf("config_format 0: the bridge keeps its own tables; nothing is composed\n");
        return 0;
    }
    if (format == kConfigFormat4) {
        const std::string message = strCheckUSB4FieldLength(record);
        if (!message.empty()) {
            std::fprintf(stderr, "devedactl: %s\n", message.c_str());
            return 1;
        }
    }
    CConfigTemplates templates;
    ConfigTable configTable;
    if (!templates.bComposeDeviceTable(record, *index, diskSN, configTable)) {
        std::fprintf(stderr, "devedactl: config_format %d composes no table\n", format);
        return 1;
    }
    PrintTable("ConfigTable", configTable);
    if (format == kConfigFormat4) {
        U4ConfigTable block = lastRead;
        bSetUSB4DeviceConfigurationByGUI(record, *index, block, U4PciIds{}, LocalDateNow());
        PrintTable("U4ConfigTable", block);
    } else {
        std::printf("U4ConfigTable\n(composed only in config_format 4)\n");
    }
    return 0;
}

int Decode(const cli::Args& args)
{
    std::string file, as;
    bool json = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--as") {
            if (i + 1 >= args.size()) return cli::UsageError("table decode: --as needs a value");
            as = args[++i];
            if (as != "config1" && as != "config4" && as != "u4")
                return cli::UsageError("table decode: --as must be config1, config4 or u4, not '" + as + "'");
        } else if (file.empty() && args[i].rfind("--", 0) != 0) {
            file = args[i];
        } else {
            return cli::UsageError("table decode: unexpected argument '" + args[i] + "'");
        }
    }
    if (file.empty()) return cli::UsageError("table decode: FILE is required");
    const auto table = ReadTableFile(file);
    if (!table) return 1;
    TableKind kind = as == "config1"   ? TableKind::kConfigFormat1
                     : as == "config4" ? TableKind::kConfigFormat4
                     : as == "u4"      ? TableKind::kU4Config
                                       : GuessTableKind(*table);
    if (kind == TableKind::kUnknown) {
        std::fprintf(stderr,
                     "devedactl: %s: byte 126 is 0x%02X, neither 0x5A (ConfigTable) nor 0xA5 (U4ConfigTable); "
                     "choose with --as\n",
                     file.c_str(), (*table)[126]);
        return 1;
    }
    if (json) {
        const auto fields = kind == TableKind::kU4Config
                                ? DecodeU4ConfigTableFields(*table)
                                : DecodeConfigTableFields(*table, kind == TableKind::kConfigFormat4 ? 4 : 1);
        std::vector<std::string> items;
        for (const auto& f : fields) {
            cli::JsonObject item;
            item.Text("name", f.name).Number("first", static_cast<long long>(f.first));
            item.Number("last", static_cast<long long>(f.last)).Text("value", f.value);
            items.push_back(item.Json());
        }
        cli::JsonObject o;
        o.Text("file", file).Text("kind", TableKindName(kind)).Raw("fields", cli::JsonArray(items));
        std::printf("%s\n", o.Json().c_str());
        return 0;
    }
    const std::string text = kind == TableKind::kU4Config
                                 ? strDecodeU4ConfigTable(*table)
                                 : strDecodeConfigTable(*table, kind == TableKind::kConfigFormat4 ? 4 : 1);
    std::printf("%s", text.c_str());
    return 0;
}

int Table(const cli::Args& args)
{
    if (args.empty()) return cli::UsageError("table: compose or decode expected");
    const cli::Args rest(args.begin() + 1, args.end());
    if (args[0] == "compose") return Compose(rest);
    if (args[0] == "decode") return Decode(rest);
    return cli::UsageError("table: unknown subcommand '" + args[0] + "'");
}

}  // namespace

DEVEDA_CLI_COMMAND("table", Table, kUsage);
