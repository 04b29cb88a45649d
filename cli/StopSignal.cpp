#include "cli/StopSignal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>

#include <thread>
#endif

namespace ardenvel::cli {

#ifdef _WIN32
namespace {
// The console control handler takes no context, so it reaches the one flag
// through this pointer while a StopSignal lives.
std::atomic<StopSignal*> active{nullptr};

BOOL WINAPI onConsoleControl(DWORD) {
    if (auto* s = active.load()) s->request();
    return TRUE;
}
}  // namespace

struct StopSignal::Impl {};

StopSignal::StopSignal(std::function<void()> onStop) : onStop_(std::move(onStop)) {
    active.store(this);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

StopSignal::~StopSignal() {
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    active.store(nullptr);
}
#else
// The signals are blocked in every thread and taken by one waiting thread,
// so no handler runs in signal context.
struct StopSignal::Impl {
    sigset_t set{};
    sigset_t previous{};
    std::thread waiter;
};

StopSignal::StopSignal(std::function<void()> onStop)
    : onStop_(std::move(onStop)), impl_(std::make_unique<Impl>()) {
    sigemptyset(&impl_->set);
    sigaddset(&impl_->set, SIGINT);
    sigaddset(&impl_->set, SIGTERM);
    sigaddset(&impl_->set, SIGUSR1);  // our own wake-up at the end
    pthread_sigmask(SIG_BLOCK, &impl_->set, &impl_->previous);
    impl_->waiter = std::thread([this] {
        int sig = 0;
        while (sigwait(&impl_->set, &sig) == 0) {
            if (sig == SIGUSR1) return;
            request();
        }
    });
}

StopSignal::~StopSignal() {
    pthread_kill(impl_->waiter.native_handle(), SIGUSR1);
    impl_->waiter.join();
    pthread_sigmask(SIG_SETMASK, &impl_->previous, nullptr);
}
#endif

}  // namespace ardenvel::cli
