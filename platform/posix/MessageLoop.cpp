// The POSIX message loop. One thread (the loop thread) runs every handler; other
// threads reach it through two queues (sends, which they wait for, and posts) and a
// wake-up pipe. Timers and watched descriptors belong to the loop thread alone.
//
// Order of service in each round, as on Win32: sent messages, then one posted
// message, then one due timer; the loop sleeps in ppoll until the next timer is due
// or something arrives.
#include "platform/posix/MessageLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A send from another thread, living on the sender's stack until `done`.
struct SendRequest {
    std::shared_ptr<LoopWindow::Record> window;  // the target
    unsigned message;                            // the message
    std::uintptr_t wParam;                       // its wParam (single sends)
    std::intptr_t lParam;                        // its lParam
    const std::uint8_t* bytes;                   // byte exchange: one call per byte; else null
    std::size_t count;                           // number of bytes
    std::intptr_t result;                        // the handler's result (single sends)
    bool done;                                   // set by the loop thread when finished
    std::thread::id sender;                      // the thread waiting for it
};

// A posted message waiting for its turn.
struct PostedMessage {
    std::shared_ptr<LoopWindow::Record> window;  // the target
    unsigned message;                            // the message
    std::uintptr_t wParam;                       // its wParam
    std::intptr_t lParam;                        // its lParam
};

// A running window timer.
struct Timer {
    std::shared_ptr<LoopWindow::Record> window;  // the window it ticks for
    unsigned id;                                 // wParam of its ticks
    Clock::duration period;                      // time between ticks
    Clock::time_point due;                       // the next tick
};

}  // namespace

struct LoopWindow::Record {
    std::atomic<bool> destroyed{false};         // Destroy() was called
    Handler handler;                            // runs on the loop thread only
    std::shared_ptr<MessageLoop::State> state;  // the loop (outlives the MessageLoop object if needed)
};

struct MessageLoop::State {
    std::thread::id thread;  // the loop thread
    int wakeRead = -1;       // readable when something was queued
    int wakeWrite = -1;      // written once per wake-up

    std::mutex lock;                   // guards the fields up to `dead`
    std::condition_variable sendDone;  // senders wait on it for `done`
    std::deque<SendRequest*> sends;    // sends waiting to be served
    std::deque<PostedMessage> posts;   // posted messages waiting
    bool wakePending = false;          // a byte is in the pipe already
    bool dead = false;                 // the loop is gone: sends and posts fail at once

    std::atomic<bool> quit{false};  // Quit was called and the innermost Run hasn't ended
    std::atomic<int> exitCode{0};   // Quit's code

    // Loop thread only.
    std::vector<Timer> timers;                     // running timers
    std::map<int, std::function<void()>> watches;  // watched descriptors
    std::vector<std::optional<int>> modal;         // results of the open RunModal levels

    ~State()
    {
        close(wakeRead);
        close(wakeWrite);
    }

    // Makes the loop thread wake up. Caller holds `lock`.
    void WakeLocked()
    {
        if (!wakePending) {
            wakePending = true;
            const char one = 1;
            (void)write(wakeWrite, &one, 1);  // non-blocking; one byte is enough
        }
    }

    // Queues `request` for the loop thread and waits until it was served; 0 when the
    // loop is gone. Any thread but the loop's.
    std::intptr_t SendAndWait(SendRequest& request)
    {
        std::unique_lock<std::mutex> guard(lock);
        // A window destroyed since the caller looked: Destroy may already have answered
        // the waiting sends, so this one would wait for ever. (Destroy marks the window
        // before it takes the lock, so under the lock the mark is seen or the send is
        // queued in time to be answered by it.)
        if (dead || request.window->destroyed)
            return 0;
        sends.push_back(&request);
        WakeLocked();
        sendDone.wait(guard, [&] { return request.done; });
        return request.result;
    }

    // Runs the handler for every send waiting now. True when one was served.
    bool ServeSends()
    {
        bool served = false;
        for (;;) {
            SendRequest* request;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (sends.empty())
                    break;
                request = sends.front();
                sends.pop_front();
            }
            std::intptr_t result = 0;
            LoopWindow::Record& window = *request->window;
            HandOverMark mark(request->sender);
            if (request->bytes) {
                for (std::size_t i = 0; i < request->count && !window.destroyed; ++i)
                    window.handler(request->message, request->bytes[i], request->lParam);
            } else if (!window.destroyed) {
                result = window.handler(request->message, request->wParam, request->lParam);
            }
            {
                std::lock_guard<std::mutex> guard(lock);
                request->result = result;
                request->done = true;
            }
            sendDone.notify_all();
            served = true;
        }
        return served;
    }

    // Runs the oldest posted message. True when there was one.
    bool ServeOnePost()
    {
        PostedMessage post;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (posts.empty())
                return false;
            post = std::move(posts.front());
            posts.pop_front();
        }
        if (!post.window->destroyed)
            post.window->handler(post.message, post.wParam, post.lParam);
        return true;
    }

    // Ticks the timer that is most overdue, if one is due. True when one ticked.
    bool ServeOneTimer(Clock::time_point now)
    {
        auto earliest = std::min_element(timers.begin(), timers.end(),
                                         [](const Timer& a, const Timer& b) { return a.due < b.due; });
        if (earliest == timers.end() || earliest->due > now)
            return false;
        // The next tick is one period after this one's due time, so that ticks keep
        // their rate; a loop that fell behind gets one tick now, not a burst.
        earliest->due += earliest->period;
        if (earliest->due <= now)
            earliest->due = now + earliest->period;
        std::shared_ptr<LoopWindow::Record> window = earliest->window;  // the handler may kill it
        const unsigned id = earliest->id;
        window->handler(OWNER_MSG_TIMER, id, 0);
        return true;
    }

    // Sleeps until something is queued, a watched descriptor has input, or `until`.
    void Sleep(std::optional<Clock::time_point> until)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!sends.empty() || !posts.empty())
                return;
        }
        std::vector<pollfd> fds;
        fds.reserve(1 + watches.size());
        fds.push_back({wakeRead, POLLIN, 0});
        for (const auto& watch : watches)
            fds.push_back({watch.first, POLLIN, 0});

        int ready;
        if (until) {
            const auto left = std::max(*until - Clock::now(), Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
#ifdef __linux__
            timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
#else
            ready = poll(fds.data(), fds.size(), static_cast<int>((ns + 999999) / 1000000));
#endif
        } else {
            ready = poll(fds.data(), fds.size(), -1);
        }
        if (ready <= 0)
            return;  // timeout, or EINTR: the caller's round starts over
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(wakeRead, drain, sizeof drain) > 0) {
            }
            std::lock_guard<std::mutex> guard(lock);
            wakePending = false;
        }
        for (std::size_t k = 1; k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            auto watch = watches.find(fds[k].fd);
            if (watch == watches.end())
                continue;  // unwatched by an earlier callback of this round
            std::function<void()> callback = watch->second;
            callback();
        }
    }

    // The loop: serves until `stop()` or `deadline`. `recheckMs` bounds each sleep so
    // that a condition changed by another thread is seen within a millisecond.
    void RunInner(const std::function<bool()>& stop, std::optional<Clock::time_point> deadline, bool recheckMs)
    {
        for (;;) {
            if (stop())
                return;
            const Clock::time_point now = Clock::now();
            if (deadline && now >= *deadline)
                return;
            if (ServeSends() || ServeOnePost() || ServeOneTimer(now))
                continue;
            std::optional<Clock::time_point> until = deadline;
            for (const Timer& timer : timers) {
                if (!until || timer.due < *until)
                    until = timer.due;
            }
            if (recheckMs && (!until || *until > now + std::chrono::milliseconds(1)))
                until = now + std::chrono::milliseconds(1);
            Sleep(until);
        }
    }
};

MessageLoop::MessageLoop()
    : m_state(std::make_shared<State>())
{
    m_state->thread = std::this_thread::get_id();
#ifdef __linux__
    // Timers of 1 ms are the loop's pace-makers: let the kernel wake it on time rather
    // than up to its default 50 us of timer slack late.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    int fds[2];
    if (pipe(fds) != 0) {
        // Without a pipe the loop can't be woken; fail loudly instead of hanging later.
        assert(false && "MessageLoop: pipe() failed");
        std::abort();
    }
    for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    m_state->wakeRead = fds[0];
    m_state->wakeWrite = fds[1];
}

MessageLoop::~MessageLoop()
{
    State& state = *m_state;
    std::deque<PostedMessage> posts;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.dead = true;
        for (SendRequest* request : state.sends) {
            request->result = 0;
            request->done = true;
        }
        state.sends.clear();
        posts.swap(state.posts);
    }
    state.sendDone.notify_all();
    state.timers.clear();  // timers and posts hold windows, which hold the state
}

int MessageLoop::Run()
{
    State& state = *m_state;
    state.RunInner([&] { return state.quit.load(); }, std::nullopt, false);
    state.quit = false;
    return state.exitCode.load();
}

void MessageLoop::Quit(int exitCode)
{
    State& state = *m_state;
    state.exitCode = exitCode;
    state.quit = true;
    std::lock_guard<std::mutex> guard(state.lock);
    state.WakeLocked();
}

bool MessageLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    State& state = *m_state;
    state.RunInner([&] { return state.quit.load() || done(); }, Clock::now() + timeout, true);
    return done();
}

void MessageLoop::RunFor(std::chrono::milliseconds duration)
{
    State& state = *m_state;
    state.RunInner([&] { return state.quit.load(); }, Clock::now() + duration, false);
}

int MessageLoop::RunModal()
{
    State& state = *m_state;
    state.modal.emplace_back();
    const std::size_t level = state.modal.size() - 1;
    state.RunInner([&] { return state.quit.load() || state.modal[level].has_value(); }, std::nullopt, false);
    const int result = state.modal[level].value_or(0);
    state.modal.pop_back();
    return result;
}

void MessageLoop::EndModal(int result)
{
    if (!m_state->modal.empty())
        m_state->modal.back() = result;
}

void MessageLoop::WatchReadable(int fd, std::function<void()> onReadable)
{
    m_state->watches[fd] = std::move(onReadable);
}

void MessageLoop::UnwatchReadable(int fd)
{
    m_state->watches.erase(fd);
}

void MessageLoop::DeliverSentMessages(unsigned maxWaitMs)
{
    State& state = *m_state;
    if (!IsLoopThread()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs));
        return;
    }
    if (state.ServeSends())
        return;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.sends.empty())
            return;
    }
    pollfd fd{state.wakeRead, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(maxWaitMs)) > 0) {
        char drain[64];
        while (read(state.wakeRead, drain, sizeof drain) > 0) {
        }
        std::lock_guard<std::mutex> guard(state.lock);
        state.wakePending = false;
    }
    state.ServeSends();
}

bool MessageLoop::IsLoopThread() const
{
    return std::this_thread::get_id() == m_state->thread;
}

LoopWindow::LoopWindow(MessageLoop& loop, Handler handler)
    : m_loop(loop),
      m_record(std::make_shared<Record>())
{
    m_record->handler = std::move(handler);
    m_record->state = loop.m_state;
}

LoopWindow::~LoopWindow()
{
    Destroy();
}

void LoopWindow::Destroy()
{
    if (m_record->destroyed.exchange(true))
        return;
    MessageLoop::State& state = *m_record->state;
    auto& timers = state.timers;
    timers.erase(
        std::remove_if(timers.begin(), timers.end(), [&](const Timer& timer) { return timer.window == m_record; }),
        timers.end());
    // Senders waiting for this window get 0 now.
    {
        std::lock_guard<std::mutex> guard(state.lock);
        auto& sends = state.sends;
        for (auto it = sends.begin(); it != sends.end();) {
            if ((*it)->window == m_record) {
                (*it)->result = 0;
                (*it)->done = true;
                it = sends.erase(it);
            } else {
                ++it;
            }
        }
        auto& posts = state.posts;
        posts.erase(std::remove_if(posts.begin(), posts.end(),
                                   [&](const PostedMessage& post) { return post.window == m_record; }),
                    posts.end());
    }
    state.sendDone.notify_all();
}

std::intptr_t LoopWindow::SendOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (m_record->destroyed)
        return 0;
    MessageLoop::State& state = *m_record->state;
    if (std::this_thread::get_id() == state.thread)
        return m_record->handler(message, wParam, lParam);
    SendRequest request{m_record, message, wParam, lParam, nullptr, 0, 0, false, std::this_thread::get_id()};
    return state.SendAndWait(request);
}

void LoopWindow::SendOwnerBytes(unsigned message, const std::uint8_t* bytes, std::size_t count, std::intptr_t lParam)
{
    if (m_record->destroyed || count == 0)
        return;
    MessageLoop::State& state = *m_record->state;
    if (std::this_thread::get_id() == state.thread) {
        for (std::size_t i = 0; i < count && !m_record->destroyed; ++i)
            m_record->handler(message, bytes[i], lParam);
        return;
    }
    SendRequest request{m_record, message, 0, lParam, bytes, count, 0, false, std::this_thread::get_id()};
    state.SendAndWait(request);
}

bool LoopWindow::PostOwnerMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (m_record->destroyed)
        return false;
    MessageLoop::State& state = *m_record->state;
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.dead)
        return false;
    state.posts.push_back({m_record, message, wParam, lParam});
    state.WakeLocked();
    return true;
}

bool LoopWindow::SetOwnerTimer(unsigned id, unsigned periodMs)
{
    MessageLoop::State& state = *m_record->state;
    assert(std::this_thread::get_id() == state.thread && "SetOwnerTimer: call it on the loop thread");
    if (m_record->destroyed || std::this_thread::get_id() != state.thread)
        return false;
    const Clock::duration period = std::chrono::milliseconds(std::max(periodMs, 1u));
    const Clock::time_point due = Clock::now() + period;
    for (Timer& timer : state.timers) {
        if (timer.window == m_record && timer.id == id) {
            timer.period = period;
            timer.due = due;
            return true;
        }
    }
    state.timers.push_back({m_record, id, period, due});
    return true;
}

void LoopWindow::KillOwnerTimer(unsigned id)
{
    MessageLoop::State& state = *m_record->state;
    assert(std::this_thread::get_id() == state.thread && "KillOwnerTimer: call it on the loop thread");
    auto& timers = state.timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [&](const Timer& timer) { return timer.window == m_record && timer.id == id; }),
                 timers.end());
}

void LoopWindow::DeliverSentMessages(unsigned maxWaitMs)
{
    m_loop.DeliverSentMessages(maxWaitMs);
}
