#pragma once
// Hot-plug events of the Linux station: what udev announces (read from its
// monitor, or from the text "udevadm monitor --udev --property" prints) and the
// device arrival or removal each one stands for.
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Station.h"

namespace platform::linuxst {

struct UdevEvent {
    std::string action;     // "add", "remove", "bind", "change", ...
    std::string devpath;    // "/devices/pci0000:00/.../2-1"
    std::string subsystem;  // "usb", "block", "scsi_generic", ...
    std::string devtype;    // "usb_device", "usb_interface", "disk", "partition", ...
};

// The events of a recorded monitor text: blocks of KEY=VALUE lines separated by
// blank lines; the "UDEV  [...] ..." header lines are skipped. A block without
// ACTION or DEVPATH is dropped.
std::vector<UdevEvent> ParseUdevMonitorText(const std::string& text);

// The arrival or removal an event stands for: a USB device or a whole disk
// coming or going. nullopt for every other event (interfaces, partitions, binds).
std::optional<DeviceChange> ChangeOf(const UdevEvent& event);

// Follows udev's monitor on a thread of its own until stopped or destroyed.
class UdevMonitor {
public:
    UdevMonitor() = default;
    ~UdevMonitor() { Stop(); }
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // Starts delivering events to `onEvent`; false when udev cannot be reached.
    bool Start(std::function<void(const UdevEvent&)> onEvent);
    void Stop();

private:
    std::jthread m_Thread;
};

}  // namespace platform::linuxst
