#include "inject/RecordingInjector.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace vanterel::inject {

namespace {

std::string folded(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

std::string RecordingInjector::name() const
{
    return "recording";
}

void RecordingInjector::PressCombo(std::int32_t keyCode, std::int32_t alt, std::int32_t ctrl,
                                   std::int32_t shift, WindowHandle window,
                                   std::optional<std::chrono::milliseconds> hold)
{
    Call call{keyCode, alt, ctrl, shift, window};
    call.hold = hold;
    record(std::move(call));
}

void RecordingInjector::Hold(const std::string &id, std::vector<Combo> combos, WindowHandle window,
                             std::chrono::milliseconds timeout)
{
    std::function<void()> before;
    {
        std::lock_guard lock(m_mutex);
        before = std::exchange(m_beforeHold, nullptr);
    }
    if (before)
        before();
    record(Call{0, 0, 0, 0, window, Kind::Hold, id, std::move(combos), timeout});
}

void RecordingInjector::Release(const std::string &id)
{
    record(Call{0, 0, 0, 0, 0, Kind::Release, id});
}

void RecordingInjector::ReleaseAll()
{
    record(Call{0, 0, 0, 0, 0, Kind::ReleaseAll});
}

void RecordingInjector::watchHeldKeys(HeldKeysObserver)
{
}

void RecordingInjector::releaseLeftovers(const std::vector<std::int32_t> &keyCodes)
{
    std::vector<Combo> keys;
    keys.reserve(keyCodes.size());
    for (const std::int32_t code : keyCodes)
        keys.push_back(Combo{code, false, false, false});
    record(Call{0, 0, 0, 0, 0, Kind::Leftovers, {}, std::move(keys)});
}

WindowHandle RecordingInjector::FindWindow(const std::string &title)
{
    std::lock_guard lock(m_mutex);
    m_lookUps.push_back(title);
    const auto it = m_windows.find(folded(title));
    return it != m_windows.end() ? it->second : 0;
}

void RecordingInjector::shutdown()
{
    std::lock_guard lock(m_mutex);
    m_shutDown = true;
}

void RecordingInjector::addWindow(const std::string &title, WindowHandle handle)
{
    std::lock_guard lock(m_mutex);
    m_windows[folded(title)] = handle;
}

void RecordingInjector::beforeNextHold(std::function<void()> fn)
{
    std::lock_guard lock(m_mutex);
    m_beforeHold = std::move(fn);
}

std::vector<RecordingInjector::Call> RecordingInjector::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> RecordingInjector::lookUps() const
{
    std::lock_guard lock(m_mutex);
    return m_lookUps;
}

bool RecordingInjector::shutDown() const
{
    std::lock_guard lock(m_mutex);
    return m_shutDown;
}

void RecordingInjector::record(Call call)
{
    std::lock_guard lock(m_mutex);
    m_calls.push_back(std::move(call));
}

} // namespace vanterel::inject
