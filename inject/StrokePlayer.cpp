#include "inject/StrokePlayer.h"

#include "inject/Diagnose.h"

#include <algorithm>
#include <cassert>
#include <iterator>

namespace vanterel::inject {

namespace {

// How often shut-down tries to release a key that would not come up before
// it gives up on it; each try costs a key up and a flush.
constexpr int ShutdownReleaseTries = 100;

const KeyConstads::KeyInfo *modifier(std::uint16_t linuxCode)
{
    // The left modifiers are named keys of the table (their codes equal their
    // Linux codes), so the sinks get them like any other key.
    const KeyConstads::KeyInfo *key = KeyConstads::FindKey(linuxCode);
    assert(key && key->linuxCode == linuxCode);
    return key;
}

// The downs of one combo: its modifiers, Shift, Ctrl, Alt, then its key.
void appendCombo(std::vector<const KeyConstads::KeyInfo *> &keys, const KeyConstads::KeyInfo *key, bool alt,
                 bool ctrl, bool shift)
{
    if (shift)
        keys.push_back(modifier(KeyConstads::LinuxLeftShift));
    if (ctrl)
        keys.push_back(modifier(KeyConstads::LinuxLeftCtrl));
    if (alt)
        keys.push_back(modifier(KeyConstads::LinuxLeftAlt));
    keys.push_back(key);
}

const KeyConstads::KeyInfo *pressable(std::int32_t keyCode)
{
    const KeyConstads::KeyInfo *key = KeyConstads::FindKey(keyCode);
    return key && key->linuxCode != 0 ? key : nullptr;
}

std::size_t indexOf(const KeyConstads::KeyInfo *key)
{
    return static_cast<std::size_t>(key - KeyConstads::AllKeys().data());
}

} // namespace

StrokePlayer::StrokePlayer(std::unique_ptr<KeySink> sink, std::chrono::milliseconds hold)
    : m_sink(std::move(sink))
    , m_hold(hold)
    , m_readyAt(m_sink->readyAt())
    , m_users(KeyConstads::AllKeys().size(), 0)
{
    m_thread = std::thread([this] { run(); });
}

StrokePlayer::~StrokePlayer()
{
    shutdown();
}

bool StrokePlayer::play(std::int32_t keyCode, bool alt, bool ctrl, bool shift, WindowHandle window,
                        std::optional<std::chrono::milliseconds> hold)
{
    const Key key = pressable(keyCode);
    if (!key) {
        Warn("Key code " + std::to_string(keyCode) + " names no key; nothing pressed");
        return false;
    }
    auto op = std::make_shared<Op>(Op{Kind::Tap, {}, window});
    appendCombo(op->keys, key, alt, ctrl, shift);
    op->keyCode = keyCode;
    op->hold = hold.value_or(m_hold);
    return submit(op);
}

bool StrokePlayer::hold(const std::string &id, const std::vector<Combo> &combos, WindowHandle window,
                        std::chrono::milliseconds timeout)
{
    auto op = std::make_shared<Op>(Op{Kind::Hold, {}, window, id, Clock::now() + timeout});
    for (const Combo &combo : combos) {
        if (const Key key = pressable(combo.keyCode))
            appendCombo(op->keys, key, combo.alt, combo.ctrl, combo.shift);
        else
            Warn("Key code " + std::to_string(combo.keyCode) + " of hold " + id + " names no key; skipped");
    }
    return submit(op);
}

void StrokePlayer::release(const std::string &id)
{
    submit(std::make_shared<Op>(Op{Kind::Release, {}, 0, id}));
}

void StrokePlayer::releaseAll()
{
    submit(std::make_shared<Op>(Op{Kind::ReleaseAll}));
}

void StrokePlayer::watchHeldKeys(Injector::HeldKeysObserver observer)
{
    std::lock_guard lock(m_mutex);
    m_heldKeysObserver = std::move(observer);
}

void StrokePlayer::releaseLeftovers(const std::vector<std::int32_t> &keyCodes)
{
    auto op = std::make_shared<Op>(Op{Kind::Leftovers});
    for (const std::int32_t code : keyCodes) {
        if (const Key key = pressable(code);
            key && std::find(op->keys.begin(), op->keys.end(), key) == op->keys.end())
            op->keys.push_back(key);
    }
    if (!op->keys.empty())
        submit(op);
}

void StrokePlayer::shutdown()
{
    std::lock_guard shutdownLock(m_shutdownMutex);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void StrokePlayer::waitUntilIdle()
{
    Lock lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_busy && m_queue.empty(); });
}

bool StrokePlayer::idle() const
{
    return !m_busy && m_queue.empty() && m_owner == Owner::Nobody && m_stuck.empty()
        && Clock::now() >= m_readyAt;
}

bool StrokePlayer::submit(const std::shared_ptr<Op> &op)
{
    Lock lock(m_mutex);
    if (m_stopping) {
        if (op->kind == Kind::Tap)
            Warn("Key code " + std::to_string(op->keyCode) + " came after shut-down; nothing pressed");
        else if (op->kind == Kind::Hold)
            Warn("Hold " + op->id + " came after shut-down; nothing pressed");
        return false;
    }
    if (op->kind == Kind::Hold && !m_busy && m_queue.empty()) {
        // Nothing is ahead of it, so what is held now is what it would find:
        // renewing costs no trip through the queue.
        if (const auto held = findHold(op->id); held != m_holds.end()) {
            const bool sooner = op->deadline < held->deadline;
            held->deadline = op->deadline;
            lock.unlock();
            if (sooner)
                m_wake.notify_one();
            return true;
        }
    }

    const bool fast = (op->kind == Kind::Tap || op->kind == Kind::Hold) && op->window == 0 && idle();
    if (op->kind == Kind::Hold)
        ++m_queuedHolds[op->id];
    // Queued before its downs leave, so that whatever comes later queues
    // behind it and the player takes it up once the sink is free again.
    m_queue.push_back(op);
    if (fast) {
        m_owner = Owner::Caller;
        op->downsSent = true;
        lock.unlock();
        op->downsOk = pressKeys(op->keys);
        lock.lock();
        m_owner = Owner::Nobody;
    }
    lock.unlock();
    m_wake.notify_one();
    return true;
}

void StrokePlayer::run()
{
    Lock lock(m_mutex);
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (m_tap && now >= m_tap->upAt) {
            const std::vector<Key> keys = std::move(m_tap->keys);
            m_tap.reset();
            releaseKeys(lock, keys);
            m_busy = false;
            continue;
        }
        if (const auto lapsed = nextToLapse(); lapsed != m_holds.end() && now >= lapsed->deadline) {
            letGo(lock, lapsed);
            reportHeldKeys(lock);
            continue;
        }
        if (!m_tap && !m_queue.empty()) {
            const std::shared_ptr<Op> op = std::move(m_queue.front());
            m_queue.pop_front();
            if (op->kind == Kind::Hold && --m_queuedHolds[op->id] == 0)
                m_queuedHolds.erase(op->id);
            m_busy = true;
            playOp(lock, *op);
            reportHeldKeys(lock);
            m_busy = m_tap.has_value();
            continue;
        }
        m_idle.notify_all();
        // Taps queued before shut-down are still played: each was promised
        // to a command, and each is over within one hold.
        if (m_stopping && !m_tap)
            break;

        std::optional<Clock::time_point> wakeAt;
        if (m_tap)
            wakeAt = m_tap->upAt;
        if (const auto lapsed = nextToLapse(); lapsed != m_holds.end())
            wakeAt = wakeAt ? std::min(*wakeAt, lapsed->deadline) : lapsed->deadline;
        if (wakeAt)
            m_wake.wait_until(lock, *wakeAt);
        else
            m_wake.wait(lock);
    }

    letGoOfAll(lock);
    reportHeldKeys(lock);
    for (int i = 0; i < ShutdownReleaseTries && !m_stuck.empty(); ++i)
        retryStuckKeys(lock);
    for (const Key key : m_stuck)
        Warn(std::string("Could not release ") + key->name + "; it may still be held down");
}

void StrokePlayer::playOp(Lock &lock, Op &op)
{
    switch (op.kind) {
    case Kind::Hold:
        if (const auto held = findHold(op.id); held != m_holds.end() && !op.downsSent) {
            held->deadline = op.deadline;
            return;
        }
        [[fallthrough]];
    case Kind::Tap:
        pressOp(lock, op);
        return;
    case Kind::Release:
        if (const auto held = findHold(op.id); held != m_holds.end())
            letGo(lock, held);
        return;
    case Kind::ReleaseAll:
        letGoOfAll(lock);
        return;
    case Kind::Leftovers: {
        // Down since an earlier run, so nobody of this run counts them: an up
        // for each that no tap or hold of ours uses now.
        takeSink(lock);
        std::vector<Key> ups;
        for (const Key key : op.keys)
            if (m_users[indexOf(key)] == 0)
                ups.push_back(key);
        sendUps(lock, ups);
        return;
    }
    }
}

void StrokePlayer::pressOp(Lock &lock, Op &op)
{
    const std::string what = op.kind == Kind::Tap
        ? std::string("stroke of ") + KeyConstads::FindKey(op.keyCode)->name
        : "hold " + op.id;
    if (!op.downsSent) {
        m_wake.wait_until(lock, m_readyAt, [this] { return Clock::now() >= m_readyAt; });
        retryStuckKeys(lock);
        if (op.window != 0) {
            // Nobody else sends while an op of the queue plays, so this round
            // trip needs no ownership of the sink.
            lock.unlock();
            const bool activated = m_sink->activate(op.window);
            lock.lock();
            if (!activated)
                Warn("Could not activate window " + HexText(op.window) + "; the " + what
                     + " goes to the focused window");
        }
        takeSink(lock);
        lock.unlock();
        op.downsOk = pressKeys(op.keys);
        lock.lock();
        giveSinkBack(lock);
    } else {
        // The caller's thread owns the sink until its downs have left.
        takeSink(lock);
        giveSinkBack(lock);
    }

    lock.unlock();
    const bool flushed = op.keys.empty() || m_sink->flush();
    lock.lock();
    if (!op.downsOk || !flushed) {
        Warn(!op.downsOk ? std::string("Could not press ") + op.keys.back()->name + "; " + what + " abandoned"
                         : "Could not press the keys of the " + what + "; abandoned");
        releaseKeys(lock, op.keys);
        return;
    }
    if (op.kind == Kind::Tap) {
        m_tap = PlayingTap{std::move(op.keys), Clock::now() + op.hold};
    } else {
        m_holds.push_back(HeldKeys{op.id, std::move(op.keys), op.deadline});
        m_holdsChanged = true;
    }
}

std::vector<StrokePlayer::HeldKeys>::iterator StrokePlayer::findHold(const std::string &id)
{
    return std::find_if(m_holds.begin(), m_holds.end(), [&](const HeldKeys &h) { return h.id == id; });
}

std::vector<StrokePlayer::HeldKeys>::iterator StrokePlayer::nextToLapse()
{
    // A hold whose renewal is still queued has not lapsed: the renewal was
    // made in time, the queue only held it up.
    auto next = m_holds.end();
    for (auto it = m_holds.begin(); it != m_holds.end(); ++it)
        if (!m_queuedHolds.contains(it->id) && (next == m_holds.end() || it->deadline < next->deadline))
            next = it;
    return next;
}

void StrokePlayer::letGo(Lock &lock, std::vector<HeldKeys>::iterator held)
{
    const std::vector<Key> keys = std::move(held->keys);
    m_holds.erase(held);
    m_holdsChanged = true;
    releaseKeys(lock, keys);
}

void StrokePlayer::letGoOfAll(Lock &lock)
{
    // Newest first: the reverse of the order in which they went down.
    while (!m_holds.empty())
        letGo(lock, std::prev(m_holds.end()));
}

bool StrokePlayer::pressKeys(std::vector<Key> &keys)
{
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const Key key = keys[i];
        if (m_users[indexOf(key)]++ == 0 && !(m_sink->keyDown(*key) && m_sink->send())) {
            // A failed down may still have reached the device: it is counted,
            // so that it gets its up like the others; an up for a key that is
            // not down is dropped by X, the kernel and Windows alike.
            keys.resize(i + 1);
            return false;
        }
    }
    return true;
}

void StrokePlayer::releaseKeys(Lock &lock, const std::vector<Key> &keys)
{
    takeSink(lock);
    std::vector<Key> ups;
    for (auto it = keys.rbegin(); it != keys.rend(); ++it)
        if (--m_users[indexOf(*it)] == 0)
            ups.push_back(*it);
    sendUps(lock, ups);
}

void StrokePlayer::retryStuckKeys(Lock &lock)
{
    if (m_stuck.empty())
        return;
    takeSink(lock);
    // A stuck key that went down again since belongs to its new user now.
    std::vector<Key> ups;
    for (const Key key : m_stuck)
        if (m_users[indexOf(key)] == 0)
            ups.push_back(key);
    sendUps(lock, ups);
}

void StrokePlayer::sendUps(Lock &lock, const std::vector<Key> &ups)
{
    lock.unlock();
    // Every up is sent even after one failed, so that the others take effect.
    std::vector<Key> failed;
    for (const Key key : ups)
        if (!(m_sink->keyUp(*key) && m_sink->send()))
            failed.push_back(key);
    lock.lock();
    giveSinkBack(lock);
    if (ups.empty())
        return;

    lock.unlock();
    const bool flushed = m_sink->flush();
    lock.lock();
    for (const Key key : ups) {
        const bool released = flushed && std::find(failed.begin(), failed.end(), key) == failed.end();
        const auto stuck = std::find(m_stuck.begin(), m_stuck.end(), key);
        if (released && stuck != m_stuck.end()) {
            m_stuck.erase(stuck);
        } else if (!released && stuck == m_stuck.end()) {
            Warn(std::string("Could not release ") + key->name + "; trying again later");
            m_stuck.push_back(key);
        }
    }
}

void StrokePlayer::reportHeldKeys(Lock &lock)
{
    if (!m_holdsChanged || !m_heldKeysObserver)
        return;
    m_holdsChanged = false;
    std::vector<std::int32_t> codes;
    for (const HeldKeys &held : m_holds)
        for (const Key key : held.keys)
            if (std::find(codes.begin(), codes.end(), key->code) == codes.end())
                codes.push_back(key->code);
    // Outside the lock: the observer writes a file, and callers must not wait for it.
    const Injector::HeldKeysObserver observer = m_heldKeysObserver;
    lock.unlock();
    observer(codes);
    lock.lock();
}

void StrokePlayer::takeSink(Lock &lock)
{
    m_wake.wait(lock, [this] { return m_owner == Owner::Nobody; });
    m_owner = Owner::Player;
}

void StrokePlayer::giveSinkBack(Lock &)
{
    m_owner = Owner::Nobody;
}

StrokeInjector::StrokeInjector(std::string name, std::unique_ptr<KeySink> sink,
                               std::chrono::milliseconds hold)
    : m_name(std::move(name))
    , m_player(std::move(sink), hold)
{
}

StrokeInjector::~StrokeInjector()
{
    StrokeInjector::shutdown();
}

std::string StrokeInjector::name() const
{
    return m_name;
}

void StrokeInjector::PressCombo(std::int32_t keyCode, std::int32_t alt, std::int32_t ctrl, std::int32_t shift,
                                WindowHandle window, std::optional<std::chrono::milliseconds> hold)
{
    m_player.play(keyCode, alt != 0, ctrl != 0, shift != 0, window, hold);
}

void StrokeInjector::Hold(const std::string &id, std::vector<Combo> combos, WindowHandle window,
                          std::chrono::milliseconds timeout)
{
    m_player.hold(id, combos, window, timeout);
}

void StrokeInjector::watchHeldKeys(HeldKeysObserver observer)
{
    m_player.watchHeldKeys(std::move(observer));
}

void StrokeInjector::releaseLeftovers(const std::vector<std::int32_t> &keyCodes)
{
    m_player.releaseLeftovers(keyCodes);
}

void StrokeInjector::Release(const std::string &id)
{
    m_player.release(id);
}

void StrokeInjector::ReleaseAll()
{
    m_player.releaseAll();
}

WindowHandle StrokeInjector::FindWindow(const std::string &)
{
    return 0;
}

void StrokeInjector::shutdown()
{
    m_player.shutdown();
}

} // namespace vanterel::inject
