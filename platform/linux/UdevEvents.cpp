#include "platform/linux/UdevEvents.h"

#include <libudev.h>
#include <poll.h>

#include <memory>
#include <sstream>

namespace platform::linuxst {

namespace {
constexpr int kPollMilliseconds = 200;  // how soon a stop request is seen

void SetField(UdevEvent& event, const std::string& key, const std::string& value)
{
    if (key == "ACTION") event.action = value;
    else if (key == "DEVPATH") event.devpath = value;
    else if (key == "SUBSYSTEM") event.subsystem = value;
    else if (key == "DEVTYPE") event.devtype = value;
}

const char* TextOrEmpty(const char* text) { return text ? text : ""; }
}  // namespace

std::vector<UdevEvent> ParseUdevMonitorText(const std::string& text)
{
    std::vector<UdevEvent> events;
    UdevEvent event;
    auto flush = [&] {
        if (!event.action.empty() && !event.devpath.empty()) events.push_back(event);
        event = UdevEvent{};
    };
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            flush();
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos || line.find(' ') < equals) continue;  // a header line
        SetField(event, line.substr(0, equals), line.substr(equals + 1));
    }
    flush();
    return events;
}

std::optional<DeviceChange> ChangeOf(const UdevEvent& event)
{
    const bool device = (event.subsystem == "usb" && event.devtype == "usb_device") ||
                        (event.subsystem == "block" && event.devtype == "disk");
    if (!device) return std::nullopt;
    if (event.action == "add") return DeviceChange::kArrival;
    if (event.action == "remove") return DeviceChange::kRemoveComplete;
    return std::nullopt;
}

bool UdevMonitor::Start(std::function<void(const UdevEvent&)> onEvent)
{
    Stop();
    std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), udev_unref);
    if (!context) return false;
    std::shared_ptr<udev_monitor> monitor(udev_monitor_new_from_netlink(context.get(), "udev"), udev_monitor_unref);
    if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "usb", "usb_device") < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "block", "disk") < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0)
        return false;
    // The monitor holds its own reference to the context.
    m_Thread = std::jthread([monitor, onEvent = std::move(onEvent)](std::stop_token stop) {
        pollfd descriptor{udev_monitor_get_fd(monitor.get()), POLLIN, 0};
        while (!stop.stop_requested()) {
            if (::poll(&descriptor, 1, kPollMilliseconds) <= 0) continue;
            udev_device* device = udev_monitor_receive_device(monitor.get());
            if (!device) continue;
            onEvent({TextOrEmpty(udev_device_get_action(device)), TextOrEmpty(udev_device_get_devpath(device)),
                     TextOrEmpty(udev_device_get_subsystem(device)), TextOrEmpty(udev_device_get_devtype(device))});
            udev_device_unref(device);
        }
    });
    return true;
}

void UdevMonitor::Stop()
{
    if (m_Thread.joinable()) {
        m_Thread.request_stop();
        m_Thread.join();
    }
}

}  // namespace platform::linuxst
