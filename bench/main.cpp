// The benchmark of the public-chat hot path against a lean IRC server and a
// ceiling (a minimal relay of the same lines, tarnwick-ceiling). Runs each
// scenario against every server, in turn, and prints the medians and the
// ratios ours/ngIRCd and ours/ceiling. --smoke runs a few hundred messages
// and checks only that everything arrived, in order and unchanged.

#include "dialect.h"
#include "eventpoll.h"
#include "loginscenario.h"
#include "measuredprocess.h"
#include "scenariorunner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr unsigned short ChatPort = 3069;
constexpr unsigned short LoginPort = 3068;
constexpr unsigned short CeilingPort = 6691;

enum class Target
{
    Ours,         // the program as shipped: its window, on the offscreen platform
    OursHeadless, // the program without a window, where the build has that mode
    Ngircd,
    Ceiling
};

struct Options
{
    std::string server = TARNWICK_SERVER_PATH;
    std::string ngircd = "/usr/sbin/ngircd";
    std::string ngircdConfig = TARNWICK_BENCH_DIR "/ngircd.conf";
    std::string ceiling = TARNWICK_CEILING_PATH;
    int runs = 3;
    bool smoke = false;
    bool keepTemp = false;
    std::string only; // "ours", "headless", "ngircd" or "ceiling": one server only
    // A command put before each server, e.g. "valgrind --tool=callgrind" or
    // "strace -c -f -o FILE" (profiling; best with --only).
    std::vector<std::string> wrapper;
    std::string loginHost = TARNWICK_LOGIN_HOST_PATH;
    std::vector<int> loginUsers = {1'000, 10'000, 100'000};
    int loginValidates = 200;
    int loginRegistrations = 50;
    SessionOptions session;
};

struct Sample
{
    bool ok = false;
    std::string failure;
    double startupMs = -1;
    bool loginPortOpened = false;
    SessionResult session;
};

void usage()
{
    std::printf(
        "usage: tarnwick-bench [--smoke] [--runs N] [--clients N] [--messages M]\n"
        "                      [--memory-messages M] [--latency-messages M] [--latency-rate R]\n"
        "                      [--fast-latency-messages M] [--no-latency] [--no-join-at-once]\n"
        "                      [--server PATH] [--ngircd PATH] [--ngircd-config PATH]\n"
        "                      [--ceiling PATH] [--only ours|headless|ngircd|ceiling]\n"
        "                      [--wrap COMMAND] [--no-login] [--keep-temp]\n");
}

bool parse(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (argument == "--smoke") {
            options.smoke = true;
            options.runs = 1;
            options.session.fanOutMessages = 300;
            options.session.memoryMessages = 0;
            options.session.latencyRuns = {{1000, 200}, {10'000, 200}};
            options.loginUsers = {100};
            options.loginValidates = 20;
            options.loginRegistrations = 5;
        } else if (argument == "--runs") {
            options.runs = std::max(1, std::atoi(value("--runs")));
        } else if (argument == "--clients") {
            options.session.clients = std::clamp(std::atoi(value("--clients")), 2, 50);
        } else if (argument == "--messages") {
            options.session.fanOutMessages = std::strtoull(value("--messages"), nullptr, 10);
        } else if (argument == "--memory-messages") {
            options.session.memoryMessages = std::strtoull(value("--memory-messages"), nullptr, 10);
        } else if (argument == "--latency-messages") {
            options.session.latencyRuns[0].messages = std::atoi(value("--latency-messages"));
        } else if (argument == "--latency-rate") {
            options.session.latencyRuns[0].rate = std::max(1, std::atoi(value("--latency-rate")));
        } else if (argument == "--fast-latency-messages") {
            options.session.latencyRuns[1].messages = std::atoi(value("--fast-latency-messages"));
        } else if (argument == "--no-latency") {
            for (LatencyRun &run : options.session.latencyRuns)
                run.messages = 0;
        } else if (argument == "--no-join-at-once") {
            options.session.joinAtOnce = false;
        } else if (argument == "--server") {
            // Absolute: the --help probe runs in a temporary folder.
            options.server = std::filesystem::absolute(value("--server")).string();
        } else if (argument == "--ngircd") {
            options.ngircd = value("--ngircd");
        } else if (argument == "--ceiling") {
            options.ceiling = value("--ceiling");
        } else if (argument == "--ngircd-config") {
            options.ngircdConfig = value("--ngircd-config");
        } else if (argument == "--only") {
            options.only = value("--only");
        } else if (argument == "--wrap") {
            std::istringstream words(value("--wrap"));
            for (std::string word; words >> word;)
                options.wrapper.push_back(word);
        } else if (argument == "--no-login") {
            options.loginUsers.clear();
        } else if (argument == "--keep-temp") {
            options.keepTemp = true;
        } else {
            usage();
            return false;
        }
    }
    if (options.session.fanOutMessages == 0) {
        std::fprintf(stderr, "--messages must be at least 1\n");
        return false;
    }
    return true;
}

std::filesystem::path makeTempFolder(const char *prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return {};
    return pattern;
}

unsigned short ircPort(const std::string &configPath)
{
    std::ifstream config(configPath);
    std::string line;
    while (std::getline(config, line)) {
        const std::size_t key = line.find("Ports");
        const std::size_t equals = line.find('=');
        if (key != std::string::npos && equals != std::string::npos && line.find('#') > key)
            return static_cast<unsigned short>(std::atoi(line.c_str() + equals + 1));
    }
    return 0;
}

// Puts the profiling command, if any, before the server's own command line.
void wrap(ServerProcess::Launch &launch, const Options &options)
{
    if (options.wrapper.empty())
        return;
    launch.arguments.insert(launch.arguments.begin(), launch.program);
    launch.arguments.insert(launch.arguments.begin(), options.wrapper.begin() + 1,
                            options.wrapper.end());
    launch.program = options.wrapper.front();
}

std::string fileText(const std::filesystem::path &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// HEADLESS HOOK. The program's mode without a window, `tarnwick-server
// --headless --data-dir DIR`, is being added. It is used when the build has it:
// the executable must name --headless in its --help output. Builds without it
// would start their window on --help, so the help is asked for only when the
// executable's bytes contain the option's name at all.
bool hasHeadlessMode(const std::string &server)
{
    std::ifstream binary(server, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(binary)),
                            std::istreambuf_iterator<char>());
    // The option's name may be stored as UTF-16 (a QStringLiteral) without its dashes.
    const std::string wide("h\0e\0a\0d\0l\0e\0s\0s\0", 16);
    if (bytes.find("--headless") == std::string::npos && bytes.find(wide) == std::string::npos)
        return false;
    const std::filesystem::path folder = makeTempFolder("tarnwick-bench-help-");
    if (folder.empty())
        return false;
    ServerProcess help;
    std::string error;
    const std::string output = (folder / "help.txt").string();
    bool listed = false;
    if (help.start({server, {"--help"}, folder.string(), {"QT_QPA_PLATFORM=offscreen"}, output},
                   &error)) {
        for (int i = 0; i < 500 && help.isRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        help.stop();
        listed = fileText(output).find("--headless") != std::string::npos;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return listed;
}

// Ours: the real executable, copied into a fresh program folder, started there
// without a display (windowed on the offscreen platform, or headless), on its
// fixed ports.
Sample runOurs(const Options &options, bool headless)
{
    Sample sample;
    const std::filesystem::path folder = makeTempFolder("tarnwick-bench-");
    if (folder.empty()) {
        sample.failure = "could not make a temporary program folder";
        return sample;
    }
    const std::filesystem::path program = folder / "tarnwick-server";
    std::error_code error;
    std::filesystem::copy_file(options.server, program, error);
    if (error) {
        sample.failure = "could not copy " + options.server + ": " + error.message();
        return sample;
    }
    std::ofstream(folder / "motd.txt") << "Welcome to the benchmark room\r\n";
    // The sender becomes a moderator, exempt from flood control.
    std::ofstream(folder / "sysops.dat", std::ios::binary)
        << "\r\nbench\t" << Dialect::SysopEmail << '\t' << Dialect::SysopPassword << "\r\n";

    MeasuredProcess server;
    for (int attempt = 0; attempt < 5 && !sample.ok; ++attempt) {
        // Other tests start the program on the same fixed ports now and then.
        if (!ServerProcess::waitUntilPortsFree({ChatPort, LoginPort}, 120'000)) {
            sample.failure = "ports 3069/3068 stayed busy";
            break;
        }
        std::string startError;
        std::vector<std::string> arguments;
        if (headless)
            arguments = {"--headless", "--data-dir", folder.string()};
        ServerProcess::Launch launch{program.string(),
                                     arguments,
                                     folder.string(),
                                     {"QT_QPA_PLATFORM=offscreen"},
                                     (folder / "server-output.txt").string()};
        wrap(launch, options);
        if (!server.start(launch, &startError)) {
            sample.failure = startError;
            break;
        }
        const int startTimeoutMs = options.wrapper.empty() ? 15'000 : 300'000;
        const std::int64_t chatNs = server.waitUntilAccepting({ChatPort}, startTimeoutMs);
        if (chatNs < 0 || !server.listensOn(ChatPort)) {
            sample.failure = "the chat port did not open (or another program held it)";
            server.stop();
            continue;
        }
        // Both ports: the login service may not be part of this build.
        std::vector<bool> opened;
        const std::int64_t bothNs = server.waitUntilAccepting({ChatPort, LoginPort}, 1500, &opened);
        sample.loginPortOpened = bothNs >= 0 && server.listensOn(LoginPort);
        sample.startupMs = double(sample.loginPortOpened ? bothNs : chatNs) / 1e6;
        sample.failure.clear();
        sample.ok = true;
    }
    if (sample.ok) {
        ScenarioRunner runner(Dialect(Dialect::Kind::Tarnwick, Dialect::Sender::Moderator),
                              ChatPort, server, options.session);
        sample.session = runner.run();
        sample.ok = sample.session.ok;
        sample.failure = sample.session.failure;
        if (!server.isRunning())
            sample.failure += " (the server ended: " + fileText(folder / "server-output.txt") + ")";
    }
    server.stop();
    if (!options.keepTemp)
        std::filesystem::remove_all(folder, error);
    else
        std::fprintf(stderr, "kept %s\n", folder.c_str());
    return sample;
}

// Starts a server that is not ours on `port`, runs the scenarios against it in
// `dialect`, stops it and removes its folder.
Sample runOther(const Options &options, const std::string &name, unsigned short port,
                ServerProcess::Launch launch, Dialect dialect, const std::filesystem::path &folder)
{
    Sample sample;
    MeasuredProcess server;
    if (!ServerProcess::waitUntilPortsFree({port}, 30'000)) {
        sample.failure = "port " + std::to_string(port) + " stayed busy";
        return sample;
    }
    std::string startError;
    wrap(launch, options);
    if (!server.start(launch, &startError)) {
        sample.failure = startError;
        return sample;
    }
    const std::int64_t ns =
        server.waitUntilAccepting({port}, options.wrapper.empty() ? 15'000 : 300'000);
    if (ns < 0 || !server.listensOn(port)) {
        sample.failure = name + " did not open port " + std::to_string(port) + ": " +
                         fileText(folder / "server-output.txt");
    } else {
        sample.startupMs = double(ns) / 1e6;
        ScenarioRunner runner(dialect, port, server, options.session);
        sample.session = runner.run();
        sample.ok = sample.session.ok;
        sample.failure = sample.session.failure;
    }
    server.stop();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return sample;
}

Sample runPeer(const Options &options)
{
    const unsigned short port = ircPort(options.ngircdConfig);
    if (port == 0) {
        Sample sample;
        sample.failure = "no Ports line in " + options.ngircdConfig;
        return sample;
    }
    const std::filesystem::path folder = makeTempFolder("tarnwick-bench-peer-");
    const std::string config = std::filesystem::absolute(options.ngircdConfig).string();
    return runOther(options, "ngIRCd", port,
                    {options.ngircd,
                     {"--nodaemon", "--config", config},
                     folder.string(),
                     {},
                     (folder / "server-output.txt").string()},
                    Dialect(Dialect::Kind::Irc), folder);
}

// The ceiling relay, with the same MOTD as ours, on its own port.
Sample runCeiling(const Options &options)
{
    const std::filesystem::path folder = makeTempFolder("tarnwick-bench-ceiling-");
    if (folder.empty()) {
        Sample sample;
        sample.failure = "could not make a temporary folder";
        return sample;
    }
    std::ofstream(folder / "motd.txt") << "Welcome to the benchmark room\r\n";
    return runOther(
        options, "the ceiling", CeilingPort,
        {options.ceiling,
         {"--port", std::to_string(CeilingPort), "--motd-file", (folder / "motd.txt").string()},
         folder.string(),
         {},
         (folder / "server-output.txt").string()},
        Dialect(Dialect::Kind::Tarnwick), folder);
}

double median(std::vector<double> values)
{
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return v < 0; }),
                 values.end());
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

using Samples = std::map<Target, std::vector<Sample>>;

double medianOf(const Samples &samples, Target target,
                const std::function<double(const Sample &)> &value)
{
    const auto found = samples.find(target);
    if (found == samples.end())
        return -1;
    std::vector<double> values;
    for (const Sample &s : found->second)
        values.push_back(s.ok ? value(s) : -1);
    return median(values);
}

struct Row
{
    std::string name;
    std::function<double(const Sample &)> value;
    int decimals;
    std::string target;
    // Whether ours meets the target, given the medians; empty when no target.
    std::function<bool(double ours, double peer, double ceiling)> met;
    // The target needs this median besides ours.
    enum class Needs
    {
        Nothing,
        Peer,
        Ceiling
    } needs = Needs::Nothing;
};

std::string thousands(std::uint64_t value)
{
    std::string text = std::to_string(value);
    for (int i = int(text.size()) - 3; i > 0; i -= 3)
        text.insert(std::size_t(i), ",");
    return text;
}

void printTable(const Samples &samples, const Options &options)
{
    const std::vector<LatencyRun> &runs = options.session.latencyRuns;
    auto latency = [](std::size_t run, double LatencyResult::*field) {
        return [run, field](const Sample &s) {
            return run < s.session.latency.size() ? s.session.latency[run].*field : -1.0;
        };
    };
    using Needs = Row::Needs;
    std::vector<Row> rows = {
        {"1. fan-out to " + std::to_string(options.session.clients - 1) + " listeners: messages/s",
         [](const Sample &s) { return s.session.fanOutMessagesPerSecond; }, 0, ">= ngIRCd",
         [](double o, double p, double) { return o >= p; }, Needs::Peer},
        {"1. fan-out: deliveries/s",
         [](const Sample &s) { return s.session.fanOutDeliveriesPerSecond; }, 0, "", nullptr},
        {"1. fan-out: server CPU per message (user+system), us",
         [](const Sample &s) { return s.session.fanOutCpuMicrosecondsPerMessage; }, 2,
         "<= 2 x ceiling", [](double o, double, double c) { return o <= 2 * c; }, Needs::Ceiling},
        {"1. fan-out: server on-CPU per message (scheduler), us",
         [](const Sample &s) { return s.session.fanOutOnCpuMicrosecondsPerMessage; }, 2, "",
         nullptr},
    };
    for (std::size_t run = 0; run < runs.size(); ++run) {
        if (runs[run].messages <= 0)
            continue;
        const std::string at =
            "2. latency at " + thousands(std::uint64_t(runs[run].rate)) + " msg/s: ";
        rows.push_back({at + "p50 ms", latency(run, &LatencyResult::p50Ms), 3, "<= ngIRCd",
                        [](double o, double p, double) { return o <= p; }, Needs::Peer});
        rows.push_back({at + "p99 ms", latency(run, &LatencyResult::p99Ms), 3, "<= ngIRCd",
                        [](double o, double p, double) { return o <= p; }, Needs::Peer});
        rows.push_back({at + "max ms", latency(run, &LatencyResult::maxMs), 3, "", nullptr});
    }
    rows.push_back(
        {"3. " + std::to_string(options.session.clients) + " clients joining one after another: ms",
         [](const Sample &s) { return s.session.joinSequentialMs; }, 1, "<= 1.5 x ngIRCd",
         [](double o, double p, double) { return o <= 1.5 * p; }, Needs::Peer});
    if (options.session.joinAtOnce)
        rows.push_back(
            {"3. " + std::to_string(options.session.clients) + " clients joining at once: ms",
             [](const Sample &s) { return s.session.joinAtOnceMs; }, 1, "< 100 ms",
             [](double o, double, double) { return o < 100; }});
    rows.push_back(
        {"4. RSS growth over the memory run: MB",
         [](const Sample &s) {
             if (s.session.rssAfterMemoryRunKb < 0 || s.session.rssAfterFanOutKb < 0)
                 return -1.0;
             return std::max(
                 0.0, double(s.session.rssAfterMemoryRunKb - s.session.rssAfterFanOutKb) / 1024.0);
         },
         1, "<= 30 MB", [](double o, double, double) { return o <= 30; }});
    rows.push_back({"5. start-up to ports accepting: ms",
                    [](const Sample &s) { return s.startupMs; }, 1, "", nullptr});

    std::printf("\n%d clients, %s messages fan-out, %d runs per server (medians); ours = the "
                "windowed program on the offscreen platform\n\n",
                options.session.clients, thousands(options.session.fanOutMessages).c_str(),
                options.runs);
    // The same rows for each of our programs: the windowed one, then the
    // headless one (as a service manager runs it).
    auto scenarioTable = [&](Target ours, const char *label) {
        std::printf("| scenario | %s | ngIRCd | ceiling | %s/ngIRCd | %s/ceiling | target | %s |\n",
                    label, label, label, label);
        std::printf("|---|---:|---:|---:|---:|---:|---|---|\n");
        for (const Row &row : rows) {
            const double o = medianOf(samples, ours, row.value);
            const double p = medianOf(samples, Target::Ngircd, row.value);
            const double c = medianOf(samples, Target::Ceiling, row.value);
            std::string verdict;
            if (row.met) {
                const bool known = o >= 0 && (row.needs != Needs::Peer || p >= 0) &&
                                   (row.needs != Needs::Ceiling || c >= 0);
                verdict = !known ? "-" : row.met(o, p, c) ? "met" : "NOT met";
            }
            std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", row.name.c_str(),
                        number(o, row.decimals).c_str(), number(p, row.decimals).c_str(),
                        number(c, row.decimals).c_str(), ratio(o, p).c_str(), ratio(o, c).c_str(),
                        row.target.c_str(), verdict.c_str());
        }
    };
    scenarioTable(Target::Ours, "ours");
    if (samples.count(Target::OursHeadless) > 0) {
        std::printf("\nThe headless program (--headless, as the packaged service runs it), same "
                    "runs:\n\n");
        scenarioTable(Target::OursHeadless, "headless");
    }

    // Memory, with the headless program beside the windowed one.
    const bool headless = samples.count(Target::OursHeadless) > 0;
    auto rss = [](long SessionResult::*field) {
        return [field](const Sample &s) {
            return s.session.*field < 0 ? -1.0 : double(s.session.*field) / 1024.0;
        };
    };
    const std::vector<std::pair<std::string, long SessionResult::*>> memoryRows = {
        {"idle", &SessionResult::rssIdleKb},
        {"with the clients joined", &SessionResult::rssJoinedKb},
        {"after the fan-out run", &SessionResult::rssAfterFanOutKb},
        {"after " + thousands(options.session.memoryMessages) + " messages",
         &SessionResult::rssAfterMemoryRunKb},
        {"after the runs", &SessionResult::rssAfterRunsKb},
    };
    std::printf("\n| RSS, MB (medians) | ours windowed | ours headless | ngIRCd | ceiling | "
                "ours/ngIRCd | ours/ceiling |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    for (const auto &[name, field] : memoryRows) {
        const auto value = rss(field);
        const double o = medianOf(samples, Target::Ours, value);
        const double h = medianOf(samples, Target::OursHeadless, value);
        const double p = medianOf(samples, Target::Ngircd, value);
        const double c = medianOf(samples, Target::Ceiling, value);
        std::printf("| %s | %s | %s | %s | %s | %s | %s |\n", name.c_str(), number(o, 1).c_str(),
                    headless ? number(h, 1).c_str() : "n/a", number(p, 1).c_str(),
                    number(c, 1).c_str(), ratio(o, p).c_str(), ratio(o, c).c_str());
    }
    if (!headless)
        std::printf("\nours headless: n/a (this build's tarnwick-server has no --headless "
                    "mode)\n");
    bool loginOpened = false;
    if (samples.count(Target::Ours)) {
        for (const Sample &s : samples.at(Target::Ours))
            loginOpened = loginOpened || s.loginPortOpened;
        if (!loginOpened)
            std::printf("\nStart-up of ours: port 3068 (login service) did not open in this "
                        "build; the figure is to the chat port alone.\n");
    }
}

using LoginResults = std::map<int, std::vector<LoginScenario::Result>>;
void printLoginTable(const LoginResults &results)
{
    std::printf("\n6. login service, \"Require Passwords\" checked, one request at a time "
                "(ours only; medians over the runs)\n\n");
    std::printf("| stored users | VALIDATE median ms | VALIDATE p99 ms | NEWUSER median ms | "
                "NEWUSER p99 ms | target < 50 ms |\n");
    std::printf("|---:|---:|---:|---:|---:|---|\n");
    for (const auto &[users, runs] : results) {
        std::vector<double> values[4];
        for (const LoginScenario::Result &r : runs) {
            values[0].push_back(r.ok ? r.validateMedianMs : -1);
            values[1].push_back(r.ok ? r.validateP99Ms : -1);
            values[2].push_back(r.ok ? r.newUserMedianMs : -1);
            values[3].push_back(r.ok ? r.newUserP99Ms : -1);
        }
        const double worst = std::max(median(values[1]), median(values[3]));
        std::string verdict = "-";
        if (median(values[1]) >= 0 && median(values[3]) >= 0)
            verdict = worst < 50 ? "met" : "NOT met";
        std::printf("| %d | %s | %s | %s | %s | %s |\n", users,
                    number(median(values[0]), 2).c_str(), number(median(values[1]), 2).c_str(),
                    number(median(values[2]), 2).c_str(), number(median(values[3]), 2).c_str(),
                    users == 100'000 ? verdict.c_str() : "");
    }
}

const char *targetName(Target target)
{
    switch (target) {
    case Target::Ours:
        return "ours";
    case Target::OursHeadless:
        return "headless";
    case Target::Ngircd:
        return "ngIRCd";
    case Target::Ceiling:
        return "ceiling";
    }
    return "";
}

void report(Target target, const Sample &sample, int run)
{
    const char *name = targetName(target);
    if (!sample.ok) {
        std::fprintf(stderr, "run %d %-8s FAILED: %s\n", run + 1, name, sample.failure.c_str());
        return;
    }
    const SessionResult &r = sample.session;
    std::string latency;
    for (const LatencyResult &l : r.latency)
        latency += " " + number(l.p50Ms, 3) + "/" + number(l.p99Ms, 3);
    std::fprintf(stderr,
                 "run %d %-8s ok: %.0f msg/s, %.2f us CPU/msg, p50/p99 ms%s, join %.1f ms "
                 "sequential, %.1f ms at once, start %.1f ms, %llu messages, %llu deliveries "
                 "checked\n",
                 run + 1, name, r.fanOutMessagesPerSecond, r.fanOutCpuMicrosecondsPerMessage,
                 latency.c_str(), r.joinSequentialMs, r.joinAtOnceMs, sample.startupMs,
                 static_cast<unsigned long long>(r.relayedMessages),
                 static_cast<unsigned long long>(r.checkedDeliveries));
}

// The 1-, 5- and 15-minute load averages; the first is -1 when unknown.
std::array<double, 3> loadAverage()
{
    std::array<double, 3> load{-1, -1, -1};
    std::ifstream file("/proc/loadavg");
    file >> load[0] >> load[1] >> load[2];
    return load;
}

std::string loadText(const std::array<double, 3> &load)
{
    char text[96];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

// Busy: more than a quarter of a core's worth of other work.
constexpr double BusyCores = 0.25;

// CPU seconds the whole machine has spent busy, and this process with its
// ended children (the servers): the difference over the run is the work of
// everything else.
struct CpuClock
{
    double machineSeconds = -1;
    double ownSeconds = -1;
    std::int64_t wallNs = 0;

    static CpuClock now()
    {
        CpuClock clock;
        clock.wallNs = EventPoll::nowNs();
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
    Options options;
    if (!parse(argc, argv, options))
        return 2;
    auto wanted = [&options](const char *name) {
        return options.only.empty() || options.only == name;
    };
    std::vector<Target> targets;
    if (wanted("ours"))
        targets.push_back(Target::Ours);
    // --only ours is the windowed program alone (so --wrap profiles just it).
    if (wanted("headless") && !options.smoke && std::filesystem::exists(options.server) &&
        hasHeadlessMode(options.server))
        targets.push_back(Target::OursHeadless);
    if (wanted("ngircd"))
        targets.push_back(Target::Ngircd);
    if (wanted("ceiling"))
        targets.push_back(Target::Ceiling);
    const bool wantOurs = wanted("ours") || wanted("headless");
    if (wantOurs && !std::filesystem::exists(options.server)) {
        std::fprintf(stderr, "no server executable at %s\n", options.server.c_str());
        return 2;
    }
    if (wanted("ngircd") && !std::filesystem::exists(options.ngircd)) {
        std::fprintf(stderr, "ngIRCd is not installed at %s (apt-get install ngircd)\n",
                     options.ngircd.c_str());
        return 2;
    }
    if (wanted("ceiling") && !std::filesystem::exists(options.ceiling)) {
        std::fprintf(stderr, "no ceiling relay at %s\n", options.ceiling.c_str());
        return 2;
    }
    const std::array<double, 3> loadBefore = loadAverage();
    std::fprintf(stderr, "load average before the run: %s\n", loadText(loadBefore).c_str());
    const CpuClock cpuBefore = CpuClock::now();
    Samples samples;
    LoginResults login;
    bool allOk = true;
    for (int run = 0; run < options.runs; ++run) {
        // Rotate which server goes first, so none always runs on a machine
        // that another just warmed up.
        for (std::size_t turn = 0; turn < targets.size(); ++turn) {
            const Target target = targets[(turn + std::size_t(run)) % targets.size()];
            Sample sample;
            switch (target) {
            case Target::Ours:
                sample = runOurs(options, false);
                break;
            case Target::OursHeadless:
                sample = runOurs(options, true);
                break;
            case Target::Ngircd:
                sample = runPeer(options);
                break;
            case Target::Ceiling:
                sample = runCeiling(options);
                break;
            }
            report(target, sample, run);
            allOk = allOk && sample.ok;
            samples[target].push_back(std::move(sample));
        }
        for (int users : wantOurs ? options.loginUsers : std::vector<int>{}) {
            LoginScenario scenario(options.loginHost, users, options.loginValidates,
                                   options.loginRegistrations);
            const LoginScenario::Result result = scenario.run();
            if (result.ok)
                std::fprintf(stderr,
                             "run %d login    ok: %d users, VALIDATE p99 %.2f ms, NEWUSER p99 "
                             "%.2f ms\n",
                             run + 1, users, result.validateP99Ms, result.newUserP99Ms);
            else
                std::fprintf(stderr, "run %d login    FAILED at %d users: %s\n", run + 1, users,
                             result.failure.c_str());
            allOk = allOk && result.ok;
            login[users].push_back(result);
        }
    }
    if (options.smoke) {
        std::printf("smoke: %s\n", allOk ? "every message reached every listener, in order and "
                                           "unchanged, on every server; the login service "
                                           "answered every request"
                                         : "FAILED");
        return allOk ? 0 : 1;
    }
    const double others = otherCores(cpuBefore, CpuClock::now());
    // The load average trails by minutes (it still counts a build that just
    // ended); what other programs used during the run is the measure.
    const bool busy = others >= 0 ? others > BusyCores : loadBefore[0] > BusyCores;
    std::printf("\nMachine (%d cores): load average before the run %s; other programs used %s "
                "cores on average during it: %s.\n",
                int(std::thread::hardware_concurrency()), loadText(loadBefore).c_str(),
                number(others, 2).c_str(),
                busy ? "BUSY, timings are noisy (compare CPU, instruction and system-call "
                       "counts instead)"
                     : "quiet");
    printTable(samples, options);
    if (!login.empty())
        printLoginTable(login);
    return allOk ? 0 : 1;
}
