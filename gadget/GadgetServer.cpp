// deveda-gadget: serves the bridges of an emulated station folder on USB device
// controllers, one FunctionFS function per bridge and controller, as bulk-only
// mass-storage devices (class 8, subclass 6, protocol 0x50) carrying the
// bridge's USB identity. Every command block a host sends is answered by the
// bridge's model (vendor commands, INQUIRY) or its NVMe disk (the standard block
// commands), the same models the emulated station answers from. A CPU reset
// takes the function off the bus for the bridge's away time; it then comes back
// with the identity its configuration table now gives: a real re-enumeration.
//
// Usage: deveda-gadget --station DIR [--bridges N] [--udc-prefix dummy_udc.]
//                      [--configfs /sys/kernel/config] [--mounts /run/deveda-ffs]
//                      [--ready FILE]
// Bridge k of the station (k = 1..N) is served on UDC "<prefix><k-1>". The
// server runs until SIGTERM or SIGINT, then takes its functions off the bus.
// Besides the bridges' own injected faults, the state keys wire_unplug and
// wire_unplug_after pull a bridge out in the middle of a command.
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emu/Bridge.h"
#include "emu/BridgeService.h"
#include "emu/World.h"
#include "util/Clock.h"

namespace {

namespace fs = std::filesystem;

std::atomic<bool> g_Stop{false};

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...)
{
    static std::mutex lock;
    std::lock_guard guard(lock);
    va_list args;
    va_start(args, format);
    std::fprintf(stderr, "deveda-gadget: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\n");
    va_end(args);
}

bool WriteText(const fs::path& path, const std::string& text)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// FunctionFS copies each read or write through one kernel buffer of its size,
// which a controller without scatter-gather (dummy_hcd) needs contiguous: a
// transfer of a megabyte or more may find no such buffer and fail. Transfers go
// in pieces of this size (a multiple of every bulk packet size), which the host
// sees as one transfer.
constexpr size_t kPiece = 64 * 1024;

// Reads exactly `size` bytes unless the transfer ends short; -1 on an error.
ssize_t ReadFull(int fd, uint8_t* data, size_t size)
{
    size_t total = 0;
    while (total < size) {
        const ssize_t n = ::read(fd, data + total, std::min(size - total, kPiece));
        if (n < 0) {
            if (errno == EINTR) continue;
            return total ? static_cast<ssize_t>(total) : -1;
        }
        total += static_cast<size_t>(n);
        if (n == 0 || n % 512 != 0) break;  // a short packet ends the transfer
    }
    return static_cast<ssize_t>(total);
}

bool WriteFull(int fd, const uint8_t* data, size_t size)
{
    size_t total = 0;
    while (total < size) {
        const ssize_t n = ::write(fd, data + total, std::min(size - total, kPiece));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        total += static_cast<size_t>(n);
    }
    return true;
}

template <typename T>
void Append(std::vector<uint8_t>& out, const T& value)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    out.insert(out.end(), p, p + sizeof value);
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The FunctionFS descriptor and string blobs of a bulk-only mass-storage interface.
std::vector<uint8_t> Descriptors()
{
    auto interface = [] {
        usb_interface_descriptor d{};
        d.bLength = USB_DT_INTERFACE_SIZE;
        d.bDescriptorType = USB_DT_INTERFACE;
        d.bNumEndpoints = 2;
        d.bInterfaceClass = USB_CLASS_MASS_STORAGE;
        d.bInterfaceSubClass = 0x06;  // SCSI transparent command set
        d.bInterfaceProtocol = 0x50;  // bulk-only transport
        d.iInterface = 1;
        return d;
    };
    auto endpoint = [](uint8_t address, uint16_t packet) {
        std::vector<uint8_t> d(USB_DT_ENDPOINT_SIZE);
        d[0] = USB_DT_ENDPOINT_SIZE;
        d[1] = USB_DT_ENDPOINT;
        d[2] = address;
        d[3] = USB_ENDPOINT_XFER_BULK;
        d[4] = static_cast<uint8_t>(packet);
        d[5] = static_cast<uint8_t>(packet >> 8);
        return d;
    };
    auto companion = [] {
        usb_ss_ep_comp_descriptor d{};
        d.bLength = USB_DT_SS_EP_COMP_SIZE;
        d.bDescriptorType = USB_DT_SS_ENDPOINT_COMP;
        return d;
    };
    std::vector<uint8_t> body;
    for (uint16_t packet : {64, 512}) {
        Append(body, interface());
        for (auto& e : {endpoint(1 | USB_DIR_IN, packet), endpoint(2 | USB_DIR_OUT, packet)})
            body.insert(body.end(), e.begin(), e.end());
    }
    Append(body, interface());
    for (auto& e : {endpoint(1 | USB_DIR_IN, 1024), endpoint(2 | USB_DIR_OUT, 1024)}) {
        body.insert(body.end(), e.begin(), e.end());
        Append(body, companion());
    }
    std::vector<uint8_t> blob;
    AppendLe32(blob, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    AppendLe32(blob, static_cast<uint32_t>(12 + 12 + body.size()));
    AppendLe32(blob, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_HAS_SS_DESC);
    AppendLe32(blob, 3);
    AppendLe32(blob, 3);
    AppendLe32(blob, 5);
    blob.insert(blob.end(), body.begin(), body.end());
    return blob;
}

std::vector<uint8_t> Strings()
{
    const char text[] = "Mass Storage";
    std::vector<uint8_t> blob;
    AppendLe32(blob, FUNCTIONFS_STRINGS_MAGIC);
    AppendLe32(blob, static_cast<uint32_t>(16 + 2 + sizeof text));
    AppendLe32(blob, 1);
    AppendLe32(blob, 1);
    blob.push_back(0x09);
    blob.push_back(0x04);
    blob.insert(blob.end(), text, text + sizeof text);
    return blob;
}

constexpr uint32_t kCbwSignature = 0x43425355;
constexpr uint32_t kCswSignature = 0x53425355;
constexpr uint8_t kCswPassed = 0, kCswFailed = 1, kCswPhaseError = 2;
constexpr uint32_t kMaxTransfer = 16 * 1024 * 1024;

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// One bridge on one device controller.
class ServedBridge {
public:
    ServedBridge(fs::path folder, std::string udc, fs::path gadget, fs::path mount, std::string name)
        : m_Folder(std::move(folder)), m_Udc(std::move(udc)), m_Gadget(std::move(gadget)), m_Mount(std::move(mount)),
          m_Name(std::move(name))
    {
    }
    ~ServedBridge() { Stop(); }

    bool Start()
    {
        std::error_code ec;
        fs::create_directories(m_Gadget / "strings/0x409", ec);
        fs::create_directories(m_Gadget / "configs/c.1/strings/0x409", ec);
        fs::create_directories(m_Gadget / ("functions/ffs." + m_Name), ec);
        WriteText(m_Gadget / "bcdUSB", "0x0320");
        WriteText(m_Gadget / "configs/c.1/strings/0x409/configuration", "BOT");
        WriteText(m_Gadget / "configs/c.1/MaxPower", "500");
        if (!fs::exists(m_Gadget / "configs/c.1" / ("ffs." + m_Name)))
            fs::create_directory_symlink(m_Gadget / ("functions/ffs." + m_Name),
                                         m_Gadget / "configs/c.1" / ("ffs." + m_Name), ec);
        SetIdentity();
        fs::create_directories(m_Mount, ec);
        if (::mount(m_Name.c_str(), m_Mount.c_str(), "functionfs", 0, nullptr) != 0 && errno != EBUSY) {
            Log("%s: mount functionfs on %s: %s", m_Name.c_str(), m_Mount.c_str(), std::strerror(errno));
            return false;
        }
        m_Ep0 = ::open((m_Mount / "ep0").c_str(), O_RDWR | O_CLOEXEC);
        if (m_Ep0 < 0) return Log("%s: open ep0: %s", m_Name.c_str(), std::strerror(errno)), false;
        const auto descriptors = Descriptors();
        const auto strings = Strings();
        if (!WriteFull(m_Ep0, descriptors.data(), descriptors.size()) || !WriteFull(m_Ep0, strings.data(), strings.size()))
            return Log("%s: descriptors refused: %s", m_Name.c_str(), std::strerror(errno)), false;
        m_In = ::open((m_Mount / "ep1").c_str(), O_RDWR | O_CLOEXEC);
        m_Out = ::open((m_Mount / "ep2").c_str(), O_RDWR | O_CLOEXEC);
        if (m_In < 0 || m_Out < 0) return Log("%s: open ep1/ep2: %s", m_Name.c_str(), std::strerror(errno)), false;
        m_Control = std::thread([this] { ControlLoop(); });
        m_Bulk = std::thread([this] { BulkLoop(); });
        if (emu::Bridge(m_Folder).Present()) Bind();
        return true;
    }

    void Stop()
    {
        if (m_Stopped.exchange(true)) return;
        Unbind();
        // Closing the endpoint files ends the threads' blocking reads.
        for (int* fd : {&m_In, &m_Out, &m_Ep0})
            if (*fd >= 0) ::close(*fd), *fd = -1;
        {
            std::lock_guard lock(m_Lock);
            m_ResetDone = true;
        }
        m_ResetSeen.notify_all();
        if (m_Control.joinable()) m_Control.detach();
        if (m_Bulk.joinable()) m_Bulk.detach();
        ::umount2(m_Mount.c_str(), MNT_DETACH);
    }

    bool Bound() const { return m_Bound; }

private:
    void SetIdentity()
    {
        const emu::Bridge bridge(m_Folder);
        const emu::UsbIdentity identity = bridge.Identity();
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04x", identity.idVendor);
        WriteText(m_Gadget / "idVendor", hex);
        std::snprintf(hex, sizeof hex, "0x%04x", identity.idProduct);
        WriteText(m_Gadget / "idProduct", hex);
        std::snprintf(hex, sizeof hex, "0x%04x", identity.bcdDevice);
        WriteText(m_Gadget / "bcdDevice", hex);
        WriteText(m_Gadget / "strings/0x409/manufacturer", identity.manufacturer);
        WriteText(m_Gadget / "strings/0x409/product", identity.product);
        WriteText(m_Gadget / "strings/0x409/serialnumber", bridge.SerialStringOff() ? "" : identity.serial);
        Log("%s: identity %04X:%04X rev %04X serial %s", m_Name.c_str(), identity.idVendor, identity.idProduct,
            identity.bcdDevice, identity.serial.c_str());
    }
    void Bind()
    {
        if (!WriteText(m_Gadget / "UDC", m_Udc)) Log("%s: bind to %s: %s", m_Name.c_str(), m_Udc.c_str(), std::strerror(errno));
        else m_Bound = true;
    }
    void Unbind()
    {
        if (m_Bound) WriteText(m_Gadget / "UDC", "\n");
        m_Bound = false;
    }

    // Control requests of the interface: Get Max LUN and the Bulk-Only Mass
    // Storage Reset; any other is stalled.
    void ControlLoop()
    {
        usb_functionfs_event events[4];
        while (!m_Stopped) {
            const ssize_t n = ::read(m_Ep0, events, sizeof events);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (m_Stopped) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) {
                const usb_functionfs_event& event = events[i];
                if (event.type != FUNCTIONFS_SETUP) continue;
                const usb_ctrlrequest& setup = event.u.setup;
                if (setup.bRequestType == 0xA1 && setup.bRequest == 0xFE) {
                    const uint8_t maxLun = 0;
                    if (::write(m_Ep0, &maxLun, 1) < 0) Log("%s: Get Max LUN: %s", m_Name.c_str(), std::strerror(errno));
                } else if (setup.bRequestType == 0x21 && setup.bRequest == 0xFF) {
                    if (::read(m_Ep0, nullptr, 0) < 0) Log("%s: reset ack: %s", m_Name.c_str(), std::strerror(errno));
                    {
                        std::lock_guard lock(m_Lock);
                        m_ResetDone = true;
                    }
                    m_ResetSeen.notify_all();
                } else if (setup.bRequestType & USB_DIR_IN) {
                    [[maybe_unused]] auto r = ::read(m_Ep0, nullptr, 0);  // stalls the data stage
                } else {
                    [[maybe_unused]] auto r = ::write(m_Ep0, nullptr, 0);
                }
            }
        }
    }

    void HaltIn()
    {
        uint8_t byte;
        [[maybe_unused]] auto r = ::read(m_In, &byte, 0);  // a read on an IN endpoint halts it
    }
    void HaltOut()
    {
        [[maybe_unused]] auto r = ::write(m_Out, "", 0);  // a write on an OUT endpoint halts it
    }

    bool SendCsw(uint32_t tag, uint32_t residue, uint8_t status)
    {
        uint8_t csw[13];
        const uint32_t fields[3] = {kCswSignature, tag, residue};
        std::memcpy(csw, fields, 12);
        csw[12] = status;
        return WriteFull(m_In, csw, sizeof csw);
    }

    void BulkLoop()
    {
        std::vector<uint8_t> data;
        uint8_t cbw[1024];
        while (!m_Stopped) {
            const ssize_t n = ::read(m_Out, cbw, sizeof cbw);
            if (n < 0) {
                if (errno == EINTR) continue;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (n == 0) continue;
            const uint8_t cbLength = n >= 15 ? cbw[14] & 0x1F : 0;
            if (n != 31 || Le32(cbw) != kCbwSignature || (cbw[13] & 0x0F) != 0 || cbLength < 1 || cbLength > 16) {
                // Not a valid CBW: both endpoints stay halted until the host resets the interface.
                Log("%s: invalid CBW (%zd bytes); waiting for reset recovery", m_Name.c_str(), n);
                std::unique_lock lock(m_Lock);
                m_ResetDone = false;
                lock.unlock();
                HaltIn();
                HaltOut();
                lock.lock();
                m_ResetSeen.wait_for(lock, std::chrono::seconds(30), [this] { return m_ResetDone || m_Stopped.load(); });
                continue;
            }
            const uint32_t tag = Le32(cbw + 4);
            const uint32_t length = Le32(cbw + 8);
            const bool dataIn = (cbw[12] & 0x80) != 0;
            emu::ScsiExchange exchange;
            exchange.cdbLength = cbLength;
            std::memcpy(exchange.cdb.data(), cbw + 15, cbLength);
            if (length > kMaxTransfer) {
                // More than the server holds: no data moves and the phase fails.
                if (dataIn) HaltIn(); else HaltOut();
                SendCsw(tag, length, kCswPhaseError);
                continue;
            }
            data.assign(length, 0);
            if (UnplugDue(exchange.cdb[0])) {
                // Pulled out in the middle of the command: half its data moves,
                // then the device is gone from the bus without a status.
                if (!dataIn && length) ReadFull(m_Out, data.data(), length / 2);
                Unplug();
                continue;
            }
            uint32_t received = 0;
            if (!dataIn && length) {
                const ssize_t got = ReadFull(m_Out, data.data(), length);
                if (got < 0) {
                    Log("%s: opcode %02X: data-out of %u bytes failed: %s", m_Name.c_str(), exchange.cdb[0], length,
                        std::strerror(errno));
                    continue;
                }
                received = static_cast<uint32_t>(got);
            }
            exchange.dataIn = dataIn;
            exchange.data = data.data();
            exchange.dataLength = dataIn ? length : received;
            const emu::BridgeAnswer answer = emu::ServeDiskCommand(m_Folder, exchange, m_Sense);
            if (exchange.noAnswer) {
                // The bridge never answers: no data, no status; the host times out and resets.
                Log("%s: opcode %02X left unanswered", m_Name.c_str(), exchange.cdb[0]);
                continue;
            }
            if (exchange.callFailed) {
                // The transport fails: a phase error makes the host reset the device.
                if (dataIn && length) HaltIn();
                SendCsw(tag, length, kCswPhaseError);
                if (!answer.reached) Log("%s: opcode %02X while off the bus", m_Name.c_str(), exchange.cdb[0]);
                continue;
            }
            uint32_t moved = std::min(exchange.transferred, length);
            if (dataIn && length) {
                if (moved && !WriteFull(m_In, data.data(), moved)) {
                    Log("%s: opcode %02X: data-in of %u bytes failed: %s", m_Name.c_str(), exchange.cdb[0], moved,
                        std::strerror(errno));
                    continue;
                }
                // Less than the host asked for: a transfer that ended on a packet
                // boundary is ended by a stall instead of a short packet.
                if (moved < length && moved % 512 == 0) HaltIn();
            }
            if (!dataIn) moved = std::min(moved, received);
            const uint8_t status = exchange.status == emu::kStatusGood ? kCswPassed : kCswFailed;
            SendCsw(tag, length - moved, status);
            if (answer.leftTheBus) AwayAndBack();
        }
    }

    // The bridge state keys wire_unplug=OPCODE (two hex digits) and
    // wire_unplug_after=N make the (N+1)th command of that opcode the one during
    // which the bridge is pulled out.
    bool UnplugDue(uint8_t opcode)
    {
        const emu::Bridge bridge(m_Folder);
        const std::string wanted = bridge.Get("wire_unplug");
        if (wanted.empty() || std::strtoul(wanted.c_str(), nullptr, 16) != opcode) return false;
        return m_UnplugSeen++ >= std::atoi(bridge.Get("wire_unplug_after", "0").c_str());
    }
    void Unplug()
    {
        {
            emu::FolderLock lock(m_Folder / "lock");
            emu::Bridge bridge(m_Folder);
            bridge.SetPresent(false);
            bridge.Set("off_bus_reason", "disconnect");
            bridge.Set("wire_unplug", "");
            bridge.Save();
        }
        Log("%s: pulled out in the middle of a command", m_Name.c_str());
        Unbind();
    }

    // The bridge left the bus (CPU reset or disconnect): the function leaves the
    // controller, and after a reset comes back at the bridge's return time with
    // the identity it booted with.
    void AwayAndBack()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // lets the host take the status
        Unbind();
        const int64_t due = emu::Bridge(m_Folder).ReturnDueMs();
        if (due < 0) {
            Log("%s: left the bus for good", m_Name.c_str());
            return;
        }
        Log("%s: off the bus for %lld ms", m_Name.c_str(), static_cast<long long>(due - util::NowMs()));
        while (!m_Stopped && util::NowMs() < due) util::SleepMs(std::min<int64_t>(100, due - util::NowMs()));
        if (m_Stopped) return;
        {
            emu::FolderLock lock(m_Folder / "lock");
            emu::Bridge bridge(m_Folder);
            bridge.ReturnToBus(bridge.DiskNumber(), -1);
            bridge.Save();
        }
        m_Sense = {};
        SetIdentity();
        Bind();
    }

    fs::path m_Folder;
    std::string m_Udc;
    fs::path m_Gadget, m_Mount;
    std::string m_Name;
    int m_Ep0 = -1, m_In = -1, m_Out = -1;
    std::atomic<bool> m_Stopped{false};
    std::atomic<bool> m_Bound{false};
    std::thread m_Control, m_Bulk;
    std::mutex m_Lock;
    std::condition_variable m_ResetSeen;
    bool m_ResetDone = true;  // guarded by m_Lock
    emu::PendingSense m_Sense;  // bulk thread only
    int m_UnplugSeen = 0;       // bulk thread only
};

void OnSignal(int) { g_Stop = true; }

}  // namespace

int main(int argc, char** argv)
{
    std::string station, udcPrefix = "dummy_udc.", configfs = "/sys/kernel/config", mounts = "/run/deveda-ffs", ready;
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--station") station = value();
        else if (arg == "--bridges") count = std::atoi(value().c_str());
        else if (arg == "--udc-prefix") udcPrefix = value();
        else if (arg == "--configfs") configfs = value();
        else if (arg == "--mounts") mounts = value();
        else if (arg == "--ready") ready = value();
        else {
            std::fprintf(stderr,
                         "usage: deveda-gadget --station DIR [--bridges N] [--udc-prefix P] [--configfs DIR] "
                         "[--mounts DIR] [--ready FILE]\n");
            return 2;
        }
    }
    if (station.empty()) return std::fprintf(stderr, "deveda-gadget: --station DIR is required\n"), 2;
    emu::World world(station);
    if (!world.Exists()) return std::fprintf(stderr, "deveda-gadget: no emulated station in %s\n", station.c_str()), 1;
    std::vector<int> ids = world.BridgeIds();
    if (count > 0 && static_cast<size_t>(count) < ids.size()) ids.resize(static_cast<size_t>(count));
    ::signal(SIGTERM, OnSignal);
    ::signal(SIGINT, OnSignal);
    std::vector<std::unique_ptr<ServedBridge>> served;
    for (size_t i = 0; i < ids.size(); ++i) {
        const std::string name = "bridge" + std::to_string(ids[i]);
        auto bridge = std::make_unique<ServedBridge>(world.BridgeFolder(ids[i]), udcPrefix + std::to_string(i),
                                                     fs::path(configfs) / "usb_gadget" / ("deveda" + std::to_string(ids[i])),
                                                     fs::path(mounts) / name, name);
        if (!bridge->Start()) {
            Log("%s: not served", name.c_str());
            return 1;
        }
        served.push_back(std::move(bridge));
    }
    Log("serving %zu bridge(s)", served.size());
    if (!ready.empty()) std::ofstream(ready) << served.size() << "\n";
    while (!g_Stop) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (auto& bridge : served) bridge->Stop();
    std::_Exit(0);  // the endpoint threads may still sit in the kernel; nothing of theirs needs flushing
}
