#include "monitor/RaidThread.h"

#include "monitor/MonitorState.h"

namespace ardenvel {

bool WindowHandoff::runAndWait(std::function<void()> work) {
    auto call = std::make_shared<Call>();
    {
        std::lock_guard lock(mutex_);
        if (abandoned_) return false;
        current_ = call;
    }
    post_([call, work = std::move(work)] {
        {
            std::lock_guard lock(call->mutex);
            if (call->abandoned) return;
        }
        work();
        std::lock_guard lock(call->mutex);
        call->finished = true;
        call->done.notify_all();
    });
    std::unique_lock lock(call->mutex);
    call->done.wait(lock, [&] { return call->finished || call->abandoned; });
    const bool finished = call->finished;
    lock.unlock();
    std::lock_guard own(mutex_);
    if (current_ == call) current_.reset();
    return finished;
}

void WindowHandoff::abandon() {
    std::shared_ptr<Call> call;
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        call = current_;
    }
    if (!call) return;
    std::lock_guard lock(call->mutex);
    call->abandoned = true;
    call->done.notify_all();
}

TRaidThread::TRaidThread(RaidThreadInputs inputs)
    : in_(std::move(inputs)), handoff_(in_.post), thread_([this](std::stop_token st) { run(st); }) {}

TRaidThread::~TRaidThread() {
    stop();
}

void TRaidThread::stop() {
    thread_.request_stop();
    handoff_.abandon();
    if (thread_.joinable()) thread_.join();
}

void TRaidThread::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        const bool work = (in_.pendingRequests.load() & request::kWork) != 0;
        const bool busy = in_.firmwareBusy && in_.firmwareBusy();
        if (work && !in_.discoveryPending.load() && !busy) handoff_.runAndWait(in_.serve);
        std::unique_lock lock(sleepMutex_);
        wake_.wait_for(lock, stop, in_.period, [] { return false; });
    }
}

}  // namespace ardenvel
