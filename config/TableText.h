#pragma once
// Texts of the 128-byte tables for the engineering console: the hex view of the
// table dumps and a field-by-field decoding.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "config/ConfigTable.h"

using TableBytes = std::array<uint8_t, CONFIG_BIN_SIZE>;

// 8 lines of 16 bytes, two upper-case hex digits per byte separated by blanks,
// each line ended by "\n".
std::string strTableHexLines(const TableBytes& table);

// What a table file holds.
enum class TableKind { kConfigFormat1, kConfigFormat4, kU4Config, kUnknown };
// Guess from the signature byte (0x5A configuration table, 0xA5 USB4 block). A
// configuration table is taken as format 4 when its format-4-only bytes (SCSI
// identification, PCIe byte) are not all 0xFF, else as format 1.
TableKind GuessTableKind(const TableBytes& table);
const char* TableKindName(TableKind kind);

// One field of a decoded table: its name, first and last byte, and its value
// with its meaning.
struct TableField {
    std::string name;
    size_t first, last;
    std::string value;
};
// Every field of the table in byte order; signature and checksum with the
// expected values.
std::vector<TableField> DecodeConfigTableFields(const TableBytes& table, uint8_t ucConfigFormat);
std::vector<TableField> DecodeU4ConfigTableFields(const TableBytes& table);

// The fields under a title line, one line each: name, byte range, value.
std::string strDecodeConfigTable(const TableBytes& table, uint8_t ucConfigFormat);
std::string strDecodeU4ConfigTable(const TableBytes& table);
