// The benchmark of the public-chat hot path against ngIRCd and the ceiling (a
// minimal relay of the same lines, tarnwick-ceiling). Runs the scenarios
// against every server in turn, then prints the medians and the ratios
// ours/ngIRCd and ours/ceiling, for the windowed program and the headless one.
// --smoke runs a few hundred messages: every one must reach every listener in
// order and unchanged, and the login service must answer every request.

#include "loginscenario.h"
#include "measuredprocess.h"
#include "scenariorunner.h"

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr unsigned short ChatPort = 3069;
constexpr unsigned short LoginPort = 3068;
constexpr unsigned short NgircdPort = 6690; // Ports in ngircd.conf
constexpr unsigned short CeilingPort = 6691;
constexpr const char *Motd = "Welcome to the benchmark room\r\n";

enum class Target
{
    Ours,         // the program as shipped: its window, on the offscreen platform
    OursHeadless, // the program without a window, as the packaged service runs it
    Ngircd,
    Ceiling
};
constexpr std::array<const char *, 4> TargetNames = {"ours", "headless", "ngircd", "ceiling"};

struct Options
{
    std::string server = TARNWICK_SERVER_PATH;
    std::string ngircd = "/usr/sbin/ngircd";
    int runs = 3;
    bool smoke = false;
    std::string only;                 // one of TargetNames: that server alone
    std::vector<std::string> wrapper; // before each server: "strace -c -f -o FILE", a profiler
    int loginUsers = 100'000;         // 0: no login scenario
    int loginValidates = 200;
    int loginRegistrations = 50;
    bool storm = false; // a VALIDATE storm on the login port during the chat scenarios
    SessionOptions session;
};

struct Sample
{
    bool ok = false;
    std::string failure;
    SessionResult session;
    LoginScenario::Result login;
};
using Samples = std::map<Target, std::vector<Sample>>;

bool parse(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        const bool takesValue = argument != "--smoke" && argument != "--no-latency" &&
                                argument != "--no-login" && argument != "--storm";
        if (takesValue && !value)
            break;
        i += takesValue ? 1 : 0;
        if (argument == "--smoke") {
            options.smoke = true;
            options.runs = 1;
            options.session.fanOutMessages = 300;
            options.session.latencyRuns = {{1000, 200}, {10'000, 200}};
            options.loginUsers = std::min(options.loginUsers, 100);
            options.loginValidates = 20;
            options.loginRegistrations = 5;
        } else if (argument == "--runs") {
            options.runs = std::max(1, std::atoi(value));
        } else if (argument == "--messages") {
            options.session.fanOutMessages = std::max(1ull, std::strtoull(value, nullptr, 10));
        } else if (argument == "--latency-messages") {
            options.session.latencyRuns[0].messages = std::atoi(value);
        } else if (argument == "--latency-rate") {
            options.session.latencyRuns[0].rate = std::max(1, std::atoi(value));
        } else if (argument == "--fast-latency-messages") {
            options.session.latencyRuns[1].messages = std::atoi(value);
        } else if (argument == "--no-latency") {
            for (LatencyRun &run : options.session.latencyRuns)
                run.messages = 0;
        } else if (argument == "--server") {
            // Absolute: the server runs in a temporary folder.
            options.server = std::filesystem::absolute(value).string();
        } else if (argument == "--ngircd") {
            options.ngircd = value;
        } else if (argument == "--only" && std::find(TargetNames.begin(), TargetNames.end(),
                                                     std::string(value)) != TargetNames.end()) {
            options.only = value;
        } else if (argument == "--wrap") {
            std::istringstream words(value);
            for (std::string word; words >> word;)
                options.wrapper.push_back(word);
        } else if (argument == "--no-login") {
            options.loginUsers = 0;
        } else if (argument == "--storm") {
            options.storm = true;
        } else if (argument == "--clients") { // fewer leave slots to the storm
            options.session.clients = std::clamp(std::atoi(value), 2, 50);
        } else {
            return false;
        }
    }
    return true;
}

std::filesystem::path makeTempFolder()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarnwick-bench-").string() + "XXXXXX";
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

std::string fileText(const std::filesystem::path &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Starts one server in a fresh folder on its port, runs the scenarios against
// it, stops it and removes the folder. Ours is the real executable, copied
// into its own program folder, with the sender listed as a sysop (a moderator
// is exempt from flood control).
Sample runOnce(const Options &options, Target target)
{
    Sample sample;
    const std::filesystem::path folder = makeTempFolder();
    const std::string output = (folder / "server-output.txt").string();
    const bool ours = target == Target::Ours || target == Target::OursHeadless;
    const bool login = ours && options.loginUsers > 0;
    const LoginScenario loginScenario(options.loginUsers, options.loginValidates,
                                      options.loginRegistrations);
    std::ofstream(folder / "motd.txt") << Motd;
    ServerProcess::Launch launch{{}, {}, folder.string(), {}, output};
    std::vector<unsigned short> ports = {ChatPort, LoginPort};
    Dialect dialect(Dialect::Kind::Tarnwick, Dialect::Sender::Moderator);
    if (ours) {
        const std::filesystem::path program = folder / "tarnwick-server";
        std::error_code error;
        std::filesystem::copy_file(options.server, program, error);
        std::ofstream(folder / "sysops.dat", std::ios::binary)
            << "\r\nbench\t" << Dialect::SysopEmail << '\t' << Dialect::SysopPassword << "\r\n";
        if (error)
            sample.failure = "could not copy " + options.server + ": " + error.message();
        else if (login && !loginScenario.prepare(folder.string(), &sample.failure))
            sample.failure = "login store: " + sample.failure;
        launch = {program.string(), {}, folder.string(), {"QT_QPA_PLATFORM=offscreen"}, output};
        if (target == Target::OursHeadless)
            launch.arguments = {"--headless", "--data-dir", folder.string()};
    } else if (target == Target::Ngircd) {
        launch.program = options.ngircd;
        launch.arguments = {"--nodaemon", "--config", TARNWICK_BENCH_DIR "/ngircd.conf"};
        ports = {NgircdPort};
        dialect = Dialect(Dialect::Kind::Irc);
    } else {
        launch.program = TARNWICK_CEILING_PATH;
        launch.arguments = {"--port", std::to_string(CeilingPort), "--motd-file",
                            (folder / "motd.txt").string()};
        ports = {CeilingPort};
        dialect = Dialect(Dialect::Kind::Tarnwick);
    }
    if (!options.wrapper.empty()) {
        launch.arguments.insert(launch.arguments.begin(), launch.program);
        launch.arguments.insert(launch.arguments.begin(), options.wrapper.begin() + 1,
                                options.wrapper.end());
        launch.program = options.wrapper.front();
    }
    MeasuredProcess server;
    // Tests start our program on the same fixed ports now and then.
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started && sample.failure.empty(); ++attempt) {
        std::string error;
        if (!ServerProcess::waitUntilPortsFree(ports, 120'000))
            sample.failure = "the server's ports stayed busy";
        else if (!server.start(launch, &error))
            sample.failure = error;
        else
            started = server.waitUntilAccepting(ports, options.wrapper.empty() ? 15'000 : 300'000);
        if (!started)
            server.stop();
    }
    if (started) {
        std::atomic<bool> calm = false;
        std::thread storm([&] {
            if (login && options.storm)
                std::fprintf(stderr, "storm: %d VALIDATE\n", LoginScenario::storm(LoginPort, calm));
        });
        sample.session = ScenarioRunner(dialect, ports[0], server, options.session).run();
        calm = true;
        storm.join();
        sample.failure = sample.session.failure;
        if (sample.session.ok && login) {
            sample.login = loginScenario.run(LoginPort);
            sample.failure = sample.login.failure;
        }
        sample.ok = sample.failure.empty();
    } else if (sample.failure.empty()) {
        sample.failure = "the server did not open its ports: " + fileText(output);
    }
    if (!sample.ok && started && !server.isRunning())
        sample.failure += " (the server ended: " + fileText(output) + ")";
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return sample;
}

double median(std::vector<double> values)
{
    std::erase_if(values, [](double v) { return v < 0; });
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string number(double value, int decimals)
{
    if (value < 0)
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string ratio(double a, double b)
{
    return a < 0 || b <= 0 ? "-" : number(a / b, 2);
}

std::string thousands(std::uint64_t value)
{
    std::string text = std::to_string(value);
    for (int i = int(text.size()) - 3; i > 0; i -= 3)
        text.insert(std::size_t(i), ",");
    return text;
}

struct Row
{
    std::string name;
    std::function<double(const Sample &)> value;
    int decimals;
    std::string target;
    // Whether ours meets the target, given the medians of ours, ngIRCd and the
    // ceiling (negative: unknown); nullopt when a median it needs is unknown.
    std::function<std::optional<bool>(double ours, double peer, double ceiling)> met;
};

std::vector<Row> tableRows(const Options &options)
{
    using Verdict = std::optional<bool>;
    const auto atLeastPeer = [](double o, double p, double) { return p < 0 ? Verdict() : o >= p; };
    const auto atMostPeer = [](double o, double p, double) { return p < 0 ? Verdict() : o <= p; };
    std::vector<Row> rows = {
        {"1. fan-out to " + std::to_string(options.session.clients - 1) + " listeners: messages/s",
         [](const Sample &s) { return s.session.messagesPerSecond; }, 0, ">= ngIRCd", atLeastPeer},
        {"1. fan-out: server CPU per message (user+system), us",
         [](const Sample &s) { return s.session.cpuMicrosecondsPerMessage; }, 2, "<= 2 x ceiling",
         [](double o, double, double c) { return c < 0 ? Verdict() : o <= 2 * c; }},
    };
    const std::vector<LatencyRun> &runs = options.session.latencyRuns;
    for (std::size_t run = 0; run < runs.size(); ++run) {
        if (runs[run].messages <= 0)
            continue;
        const std::string at =
            "2. latency at " + thousands(std::uint64_t(runs[run].rate)) + " msg/s: ";
        const auto latency = [run](double LatencyResult::*field) {
            return [run, field](const Sample &s) {
                return run < s.session.latency.size() ? s.session.latency[run].*field : -1.0;
            };
        };
        rows.push_back({at + "p50 ms", latency(&LatencyResult::p50Ms), 3, "<= ngIRCd", atMostPeer});
        rows.push_back({at + "p99 ms", latency(&LatencyResult::p99Ms), 3, "<= ngIRCd", atMostPeer});
    }
    rows.push_back(
        {"3. " + std::to_string(options.session.clients) + " clients joining one after another: ms",
         [](const Sample &s) { return s.session.joinMs; }, 1, "<= 1.5 x ngIRCd",
         [](double o, double p, double) { return p < 0 ? Verdict() : o <= 1.5 * p; }});
    if (options.loginUsers > 0) {
        const std::string at = "4. login, " + thousands(std::uint64_t(options.loginUsers)) +
                               " stored users, \"Require Passwords\": ";
        const auto below50 = [](double o, double, double) { return Verdict(o < 50); };
        using Login = LoginScenario::Result;
        for (const auto &[name, field] : {std::pair{"VALIDATE p50 ms", &Login::validateP50Ms},
                                          std::pair{"VALIDATE p99 ms", &Login::validateP99Ms},
                                          std::pair{"NEWUSER p50 ms", &Login::newUserP50Ms},
                                          std::pair{"NEWUSER p99 ms", &Login::newUserP99Ms}})
            rows.push_back({at + name, [field](const Sample &s) { return s.login.*field; }, 2,
                            "< 50 ms", below50});
    }
    return rows;
}

double medianOf(const Samples &samples, Target target,
                const std::function<double(const Sample &)> &value)
{
    std::vector<double> values;
    if (samples.count(target))
        for (const Sample &s : samples.at(target))
            values.push_back(s.ok ? value(s) : -1);
    return median(values);
}

void printTable(const Samples &samples, const Options &options, Target ours)
{
    const char *label = TargetNames[std::size_t(ours)];
    std::printf("\n| scenario | %s | ngIRCd | ceiling | %s/ngIRCd | %s/ceiling | target | %s |\n",
                label, label, label, label);
    std::printf("|---|---:|---:|---:|---:|---:|---|---|\n");
    for (const Row &row : tableRows(options)) {
        const double o = medianOf(samples, ours, row.value);
        const double p = medianOf(samples, Target::Ngircd, row.value);
        const double c = medianOf(samples, Target::Ceiling, row.value);
        const std::optional<bool> met = o < 0 ? std::nullopt : row.met(o, p, c);
        const char *verdict = !met ? "-" : *met ? "met" : "NOT met";
        std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", row.name.c_str(),
                    number(o, row.decimals).c_str(), number(p, row.decimals).c_str(),
                    number(c, row.decimals).c_str(), ratio(o, p).c_str(), ratio(o, c).c_str(),
                    row.target.c_str(), verdict);
    }
}

void report(Target target, const Sample &sample, int run)
{
    const char *name = TargetNames[std::size_t(target)];
    if (!sample.ok) {
        std::fprintf(stderr, "run %d %-8s FAILED: %s\n", run + 1, name, sample.failure.c_str());
        return;
    }
    const SessionResult &r = sample.session;
    std::string latency;
    for (const LatencyResult &l : r.latency)
        latency += " " + number(l.p50Ms, 3) + "/" + number(l.p99Ms, 3);
    std::fprintf(stderr,
                 "run %d %-8s ok: %.0f msg/s, %.2f us CPU/msg, p50/p99 ms%s, join %.1f ms, "
                 "%llu deliveries checked\n",
                 run + 1, name, r.messagesPerSecond, r.cpuMicrosecondsPerMessage, latency.c_str(),
                 r.joinMs, static_cast<unsigned long long>(r.checkedDeliveries));
}

// CPU seconds the whole machine has spent busy, and this process with its
// ended children (the servers): the difference over the run is the work of
// everything else.
struct CpuClock
{
    double machineSeconds = -1;
    double ownSeconds = -1;
    std::int64_t wallNs = nowNs();

    static CpuClock now()
    {
        CpuClock clock;
        std::ifstream stat("/proc/stat");
        std::string cpu;
        long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0,
                  steal = 0;
        if (stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal)
            clock.machineSeconds = double(user + nice + system + irq + softirq + steal) /
                                   double(::sysconf(_SC_CLK_TCK));
        rusage self{};
        rusage children{};
        ::getrusage(RUSAGE_SELF, &self);
        ::getrusage(RUSAGE_CHILDREN, &children);
        auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
        clock.ownSeconds = seconds(self.ru_utime) + seconds(self.ru_stime) +
                           seconds(children.ru_utime) + seconds(children.ru_stime);
        return clock;
    }
};

// Cores' worth of work that was not the benchmark's, on average between the two.
double otherCores(const CpuClock &before, const CpuClock &after)
{
    const double wall = double(after.wallNs - before.wallNs) / 1e9;
    if (before.machineSeconds < 0 || after.machineSeconds < 0 || wall <= 0)
        return -1;
    const double other =
        (after.machineSeconds - before.machineSeconds) - (after.ownSeconds - before.ownSeconds);
    return std::max(0.0, other / wall);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv); // for the users store of the login scenario
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: tarnwick-bench [OPTION]... (the options: bench/run)\n");
        return 2;
    }
    std::vector<Target> targets;
    for (const Target target :
         {Target::Ours, Target::OursHeadless, Target::Ngircd, Target::Ceiling}) {
        if (options.only.empty() || options.only == TargetNames[std::size_t(target)])
            targets.push_back(target);
    }
    const bool wantOurs =
        options.only.empty() || options.only == "ours" || options.only == "headless";
    if (wantOurs && !std::filesystem::exists(options.server)) {
        std::fprintf(stderr, "no server executable at %s\n", options.server.c_str());
        return 2;
    }
    if (std::count(targets.begin(), targets.end(), Target::Ngircd) &&
        !std::filesystem::exists(options.ngircd)) {
        std::fprintf(stderr, "ngIRCd is not installed at %s (apt-get install ngircd)\n",
                     options.ngircd.c_str());
        return 2;
    }
    double loadBefore = -1;
    std::ifstream("/proc/loadavg") >> loadBefore;
    const CpuClock cpuBefore = CpuClock::now();
    Samples samples;
    bool allOk = true;
    for (int run = 0; run < options.runs; ++run) {
        // Rotate which server goes first, so none always runs on a machine
        // that another just warmed up.
        for (std::size_t turn = 0; turn < targets.size(); ++turn) {
            const Target target = targets[(turn + std::size_t(run)) % targets.size()];
            Sample sample = runOnce(options, target);
            report(target, sample, run);
            allOk = allOk && sample.ok;
            samples[target].push_back(std::move(sample));
        }
    }
    // The load average trails by minutes (it still counts a build that just
    // ended); what other programs used during the run is the measure.
    const double others = otherCores(cpuBefore, CpuClock::now());
    const bool busy = (others >= 0 ? others : loadBefore) > 0.25; // a quarter of a core
    std::printf("\nMachine (%d cores): load average before the run %s; other programs used %s "
                "cores on average during it: %s.\n",
                int(std::thread::hardware_concurrency()), number(loadBefore, 2).c_str(),
                number(others, 2).c_str(),
                busy ? "BUSY, timings are noisy (compare CPU per message instead)" : "quiet");
    std::printf("\n%d clients, %s messages fan-out, %d runs per server (medians); ours = the "
                "windowed program on the offscreen platform, headless = --headless\n",
                options.session.clients, thousands(options.session.fanOutMessages).c_str(),
                options.runs);
    for (const Target ours : {Target::Ours, Target::OursHeadless}) {
        if (samples.count(ours))
            printTable(samples, options, ours);
    }
    if (options.smoke)
        std::printf("\nsmoke: %s\n",
                    allOk ? "every message reached every listener, in order and unchanged, on "
                            "every server; the login service answered every request"
                          : "FAILED");
    return allOk ? 0 : 1;
}
