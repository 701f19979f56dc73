#pragma once
// The power-delivery controller and the STM microcontroller behind an emulated
// bridge, reached through the bridge's 0xEC tunnel command: an 8-byte command
// block whose byte 1 selects the operation.
//
// Files of the bridge folder:
//   pd.ini        fitted controllers, their modes, faults and tunnel state
//   pd_flash.bin  the PD controller's memory: the Richtek MTP area (16 KiB) or
//                 the Cypress flash, 128 bytes per row at row * 128
//   mcu_flash.bin the MCU's 48 KiB flash
//
// pd.ini keys (set with "emu set BRIDGE pd.KEY=VALUE"):
//   vendor       none | richtek | cypress | ccg3        (the PD chip fitted)
//   mcu          none | stm
//   mode         1 | 2    CCG3 device mode (the bank it runs)
//   version_row  row whose data bytes 96..103 a Cypress controller reports as
//                bytes 8..15 of its version block (default 0x101)
//   fail         hex sub-command whose requests end in CHECK CONDITION
//   fail_count   how many of them (default: every one)
//   no_answer    1: the chip identification never carries 0x5A
//   corrupt_row  Cypress row, Richtek word or MCU byte offset whose write is
//                stored with its first byte inverted, so it reads back different
//   replug       never: after the operator's power cycle the bridge stays away
//   replug_ms    the emulated operator power-cycles the bridge this long after
//                being asked (used by unattended runs)
// State kept by the tunnel itself: bus (I2C bus open), flash (flash or MTP mode
// entered), boot (MCU bootloader entered by 0x32), mcu_flash (by 0x33).
// Rules: nothing but 0x04 works with the bus closed; writes need the flash mode
// of their chip; 0x33 needs the bootloader entered first; a power cycle closes
// the bus and leaves every mode, and a CCG3 then runs the other bank.
#include <cstdint>
#include <filesystem>
#include <string>

#include "emu/KeyValueFile.h"
#include "emu/ScsiTarget.h"

namespace emu {

constexpr uint8_t kOpPdTunnel = 0xEC;
constexpr uint32_t kPdMtpSize = 0x4000;
constexpr uint32_t kPdRowSize = 128;
constexpr uint32_t kMcuFlashSize = 0xC000;

// Vendor codes as the chip identification reports them.
constexpr uint8_t kPdVendorRichtek = 1;
constexpr uint8_t kPdVendorCypress = 2;
constexpr uint8_t kPdVendorCCG3 = 4;

class PdTunnel {
public:
    explicit PdTunnel(std::filesystem::path bridgeFolder);

    void Execute(ScsiExchange& exchange);

    // A "pd.KEY=VALUE" setting of emu set; false with `error` for an unknown key
    // or value (nothing is saved then).
    static bool ApplySetting(const std::filesystem::path& bridgeFolder, const std::string& key,
                             const std::string& value, std::string& error);
    // The operator's power cycle: bus closed, modes left, a CCG3 switches bank.
    static void PowerCycle(const std::filesystem::path& bridgeFolder);
    // Whether the bridge comes back after a power cycle, and when the emulated
    // operator does it (-1: only when asked by hand).
    static bool ComesBack(const std::filesystem::path& bridgeFolder);
    static int64_t OperatorReplugMs(const std::filesystem::path& bridgeFolder);

    // Inspection.
    uint8_t Vendor() const;
    bool HasMcu() const { return m_State.Get("mcu", "none") == "stm"; }
    int Ccg3Mode() const { return static_cast<int>(m_State.GetInt("mode", 1)); }
    std::string PdMemory(uint32_t offset, uint32_t size) const;
    std::string McuFlash(uint32_t offset, uint32_t size) const;
    // "key=value ..." of pd.ini, settings and tunnel state alike; empty when none.
    std::string StateText() const;

private:
    bool TakeFault(ScsiExchange& exchange, uint8_t sub);
    void Answer(ScsiExchange& exchange, const uint8_t* bytes, uint32_t size);
    void Refuse(ScsiExchange& exchange) { exchange.CheckCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb); }
    void Identify(ScsiExchange& exchange);
    void RichtekCommand(ScsiExchange& exchange, uint8_t sub, uint16_t a, uint16_t b);
    void CypressCommand(ScsiExchange& exchange, uint8_t sub, uint16_t a);
    void McuCommand(ScsiExchange& exchange, uint8_t sub, uint16_t a, uint16_t b);
    void VersionBlock(ScsiExchange& exchange);
    // Stores a write, inverting the first byte when `unit` is the corrupt one.
    void Store(const char* file, uint32_t offset, const uint8_t* data, uint32_t size, int64_t unit);
    bool Flag(const char* key) const { return m_State.GetInt(key, 0) != 0; }
    void SetFlag(const char* key, bool on) { m_State.SetInt(key, on ? 1 : 0); }

    std::filesystem::path m_Folder;
    KeyValueFile m_State;
};

}  // namespace emu
