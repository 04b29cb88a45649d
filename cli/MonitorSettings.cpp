#include "cli/MonitorSettings.h"

#include <cstdlib>

namespace ardenvel::cli {
namespace {

constexpr unsigned kMaxRetries = 100;

std::optional<double> seconds(const std::string& text, double most) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0' || !(v > 0) || v > most) return std::nullopt;
    return v;
}

std::optional<unsigned> percentStep(const std::string& text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned v = static_cast<unsigned>(std::stoul(text));
    if (v < 1 || v > 100) return std::nullopt;
    return v;
}

std::optional<bool> reminder(const std::string& text) {
    if (text == "daily" || text == "yes") return true;
    if (text == "no" || text == "never") return false;
    return std::nullopt;
}

std::optional<bool> yesNo(const std::string& text) {
    if (text == "yes") return true;
    if (text == "no") return false;
    return std::nullopt;
}

std::optional<unsigned> retryCount(const std::string& text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned v = static_cast<unsigned>(std::stoul(text));
    if (v > kMaxRetries) return std::nullopt;
    return v;
}

constexpr double kMaxInterval = 86400;
constexpr double kMaxHookTimeout = 3600;
constexpr double kMaxRetryDelay = 3600;

}  // namespace

std::chrono::milliseconds MonitorSettings::hookLimit() const {
    return std::chrono::milliseconds(static_cast<long long>(hookTimeout.value_or(30.0) * 1000));
}

HookRetries MonitorSettings::hookRetries() const {
    HookRetries r;
    r.retries = retries.value_or(r.retries);
    if (retryDelay) r.firstDelay = std::chrono::milliseconds(static_cast<long long>(*retryDelay * 1000));
    return r;
}

OptionResult parseMonitorOption(const std::vector<std::string>& args, std::size_t& i, MonitorSettings& s,
                                std::string& error) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    auto value = [&]() -> const std::string& { return args[++i]; };
    if (a == "--test") {
        s.test = true;
    } else if (a == "--remind-daily") {
        s.remindDaily = true;
    } else if (a == "--test-on-start") {
        s.testOnStart = true;
    } else if (a == "--journal") {
        s.journal = true;
    } else if (a == "--exec-retries") {
        if (!hasValue || !(s.retries = retryCount(value())))
            return error = "--exec-retries needs a number from 0 to 100", OptionResult::Bad;
    } else if (a == "--exec-retry-delay") {
        if (!hasValue || !(s.retryDelay = seconds(value(), kMaxRetryDelay)))
            return error = "--exec-retry-delay needs a number of seconds up to 3600", OptionResult::Bad;
    } else if (a == "--interval") {
        if (!hasValue || !(s.interval = seconds(value(), kMaxInterval)))
            return error = "--interval needs a number of seconds", OptionResult::Bad;
    } else if (a == "--exec") {
        if (!hasValue || args[i + 1].empty()) return error = "--exec needs a program", OptionResult::Bad;
        s.hooks.push_back(value());
    } else if (a == "--exec-timeout") {
        if (!hasValue || !(s.hookTimeout = seconds(value(), kMaxHookTimeout)))
            return error = "--exec-timeout needs a number of seconds up to 3600", OptionResult::Bad;
    } else if (a == "--increment") {
        if (!hasValue || !(s.increment = percentStep(value())))
            return error = "--increment needs a percentage from 1 to 100", OptionResult::Bad;
    } else if (a == "--metrics" || a == "--state" || a == "--state-dir") {
        if (!hasValue || args[i + 1].empty()) return error = a + " needs a path", OptionResult::Bad;
        auto& target = a == "--metrics" ? s.metricsFile : a == "--state" ? s.stateFile : s.stateDir;
        target = value();
    } else {
        return OptionResult::NotMine;
    }
    return OptionResult::Taken;
}

std::optional<std::string> applyMonitorEnvironment(MonitorSettings& s, const EnvLookup& env) {
    auto get = [&](const char* name) -> std::optional<std::string> {
        auto v = env(name);
        if (!v || v->empty()) return std::nullopt;
        return v;
    };
    if (auto v = get("ARDENVEL_INTERVAL"); v && !s.interval)
        if (!(s.interval = seconds(*v, kMaxInterval))) return "ARDENVEL_INTERVAL must be a number of seconds";
    if (auto v = get("ARDENVEL_EXEC_TIMEOUT"); v && !s.hookTimeout)
        if (!(s.hookTimeout = seconds(*v, kMaxHookTimeout)))
            return "ARDENVEL_EXEC_TIMEOUT must be a number of seconds up to 3600";
    if (auto v = get("ARDENVEL_EXEC_RETRIES"); v && !s.retries)
        if (!(s.retries = retryCount(*v))) return "ARDENVEL_EXEC_RETRIES must be a number from 0 to 100";
    if (auto v = get("ARDENVEL_EXEC_RETRY_DELAY"); v && !s.retryDelay)
        if (!(s.retryDelay = seconds(*v, kMaxRetryDelay)))
            return "ARDENVEL_EXEC_RETRY_DELAY must be a number of seconds up to 3600";
    if (auto v = get("ARDENVEL_TEST_ON_START"); v && !s.testOnStart)
        if (!(s.testOnStart = yesNo(*v))) return "ARDENVEL_TEST_ON_START must be yes or no";
    if (auto v = get("ARDENVEL_INCREMENT"); v && !s.increment)
        if (!(s.increment = percentStep(*v))) return "ARDENVEL_INCREMENT must be a percentage from 1 to 100";
    if (auto v = get("ARDENVEL_REMIND"); v && !s.remindDaily)
        if (!(s.remindDaily = reminder(*v))) return "ARDENVEL_REMIND must be daily or no";
    if (auto v = get("ARDENVEL_EXEC"); v && s.hooks.empty()) s.hooks.push_back(*v);
    return std::nullopt;
}

}  // namespace ardenvel::cli
