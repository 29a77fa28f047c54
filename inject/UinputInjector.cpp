// Key presses through a virtual keyboard of the kernel's uinput module, made
// with libevdev. Works wherever the kernel's input devices are read: X11,
// Wayland compositors and the console alike. It has no window look-up.
#include "inject/Backends.h"
#include "inject/StrokePlayer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <string>
#include <unistd.h>

namespace vanterel::inject {

namespace {

// Readers (udev, the X server or compositor through libinput) open a new
// input device only once udev has announced it; keys sent before that are
// lost. A quarter of a second is ample on a loaded desktop.
constexpr std::chrono::milliseconds UinputSettleTime{250};

class UinputKeySink final : public KeySink {
public:
    UinputKeySink(InputEventWriter write, std::chrono::milliseconds settle)
        : m_write(std::move(write))
        , m_readyAt(std::chrono::steady_clock::now() + settle)
    {
    }

    bool keyDown(const KeyConstads::KeyInfo &key) override { return m_write(EV_KEY, key.linuxCode, 1); }
    bool keyUp(const KeyConstads::KeyInfo &key) override { return m_write(EV_KEY, key.linuxCode, 0); }
    bool send() override { return m_write(EV_SYN, SYN_REPORT, 0); }
    // Each write reaches the kernel before it returns, and says whether it
    // did: nothing is left to wait for.
    bool flush() override { return true; }

    // Window handles come from FindWindow, which gives none here.
    bool activate(WindowHandle) override { return false; }

    std::chrono::steady_clock::time_point readyAt() const override { return m_readyAt; }

private:
    InputEventWriter m_write;
    const std::chrono::steady_clock::time_point m_readyAt;
};

// The virtual keyboard; it disappears when this is destroyed.
class UinputDevice {
public:
    UinputDevice(libevdev_uinput *device, int fd)
        : m_device(device)
        , m_fd(fd)
    {
    }
    ~UinputDevice()
    {
        libevdev_uinput_destroy(m_device);
        ::close(m_fd);
    }
    UinputDevice(const UinputDevice &) = delete;
    UinputDevice &operator=(const UinputDevice &) = delete;

    bool write(std::uint16_t type, std::uint16_t code, std::int32_t value) const
    {
        return libevdev_uinput_write_event(m_device, type, code, value) == 0;
    }

private:
    libevdev_uinput *m_device;
    int m_fd;
};

std::string errnoText(int error)
{
    return std::strerror(error);
}

} // namespace

std::unique_ptr<KeySink> CreateUinputKeySink(InputEventWriter write, std::chrono::milliseconds settle)
{
    return std::make_unique<UinputKeySink>(std::move(write), settle);
}

InjectorChoice CreateUinputInjector(std::chrono::milliseconds hold)
{
    // Opened here rather than by libevdev so that the reason of a failure can
    // be told precisely.
    const int fd = ::open("/dev/uinput", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return {nullptr,
                (error == ENOENT ? "no /dev/uinput (" : "no write access to /dev/uinput (") + errnoText(error)
                    + ")"};
    }

    libevdev *description = libevdev_new();
    libevdev_set_name(description, "Vanterel virtual keyboard");
    libevdev_set_id_bustype(description, BUS_VIRTUAL);
    libevdev_enable_event_type(description, EV_KEY);
    for (const KeyConstads::KeyInfo &key : KeyConstads::AllKeys())
        if (key.linuxCode != 0)
            libevdev_enable_event_code(description, EV_KEY, key.linuxCode, nullptr);

    libevdev_uinput *device = nullptr;
    const int result = libevdev_uinput_create_from_device(description, fd, &device);
    libevdev_free(description); // the device keeps no reference to its description
    if (result != 0) {
        ::close(fd);
        return {nullptr, "cannot create a virtual keyboard on /dev/uinput (" + errnoText(-result) + ")"};
    }

    auto keyboard = std::make_shared<UinputDevice>(device, fd);
    InputEventWriter write = [keyboard](std::uint16_t type, std::uint16_t code, std::int32_t value) {
        return keyboard->write(type, code, value);
    };
    return {std::make_unique<StrokeInjector>("uinput",
                                             CreateUinputKeySink(std::move(write), UinputSettleTime), hold),
            "Key presses through uinput (virtual keyboard)"};
}

} // namespace vanterel::inject
