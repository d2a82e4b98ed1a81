// The benchmark of the public-chat hot path against a lean IRC server. Runs
// each scenario against both servers, alternately, and prints the medians and
// the ratio ours/peer. --smoke runs a few hundred messages and checks only
// that everything arrived, in order and unchanged.

#include "dialect.h"
#include "loginscenario.h"
#include "scenariorunner.h"
#include "serverprocess.h"

#include <algorithm>
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
#include <thread>
#include <vector>

namespace {

constexpr unsigned short ChatPort = 3069;
constexpr unsigned short LoginPort = 3068;

struct Options
{
    std::string server = TARNWICK_SERVER_PATH;
    std::string ngircd = "/usr/sbin/ngircd";
    std::string ngircdConfig = TARNWICK_BENCH_DIR "/ngircd.conf";
    int runs = 3;
    bool smoke = false;
    bool keepTemp = false;
    std::string only; // "ours" or "ngircd": one server only (profiling)
    // A command put before ours, e.g. "valgrind --tool=callgrind" (profiling).
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
        "                      [--memory-messages M] [--latency-messages M]\n"
        "                      [--server PATH] [--ngircd PATH] [--ngircd-config PATH]\n"
        "                      [--only ours|ngircd] [--wrap COMMAND] [--no-login] [--keep-temp]\n");
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
            options.session.latencyMessages = 200;
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
            options.session.latencyMessages = std::atoi(value("--latency-messages"));
        } else if (argument == "--server") {
            options.server = value("--server");
        } else if (argument == "--ngircd") {
            options.ngircd = value("--ngircd");
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

std::string fileText(const std::filesystem::path &path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Ours: the real executable, copied into a fresh program folder, started there
// without a display, on its fixed ports.
Sample runOurs(const Options &options)
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

    ServerProcess server;
    for (int attempt = 0; attempt < 5 && !sample.ok; ++attempt) {
        // Other tests start the program on the same fixed ports now and then.
        if (!ServerProcess::waitUntilPortsFree({ChatPort, LoginPort}, 120'000)) {
            sample.failure = "ports 3069/3068 stayed busy";
            break;
        }
        std::string startError;
        ServerProcess::Launch launch{program.string(),
                                     {},
                                     folder.string(),
                                     {"QT_QPA_PLATFORM=offscreen"},
                                     (folder / "server-output.txt").string()};
        if (!options.wrapper.empty()) {
            launch.arguments.insert(launch.arguments.begin(), program.string());
            launch.arguments.insert(launch.arguments.begin(), options.wrapper.begin() + 1,
                                    options.wrapper.end());
            launch.program = options.wrapper.front();
        }
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
        ScenarioRunner runner(Dialect(Dialect::Kind::Tarnwick), ChatPort, server, options.session);
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

Sample runPeer(const Options &options)
{
    Sample sample;
    const unsigned short port = ircPort(options.ngircdConfig);
    if (port == 0) {
        sample.failure = "no Ports line in " + options.ngircdConfig;
        return sample;
    }
    const std::filesystem::path folder = makeTempFolder("tarnwick-bench-peer-");
    ServerProcess server;
    if (!ServerProcess::waitUntilPortsFree({port}, 30'000)) {
        sample.failure = "port " + std::to_string(port) + " stayed busy";
        return sample;
    }
    std::string startError;
    const std::string config = std::filesystem::absolute(options.ngircdConfig).string();
    ServerProcess::Launch launch{options.ngircd,
                                 {"--nodaemon", "--config", config},
                                 folder.string(),
                                 {},
                                 (folder / "server-output.txt").string()};
    if (!server.start(launch, &startError)) {
        sample.failure = startError;
        return sample;
    }
    const std::int64_t ns = server.waitUntilAccepting({port}, 15'000);
    if (ns < 0 || !server.listensOn(port)) {
        sample.failure = "ngIRCd did not open port " + std::to_string(port) + ": " +
                         fileText(folder / "server-output.txt");
    } else {
        sample.startupMs = double(ns) / 1e6;
        ScenarioRunner runner(Dialect(Dialect::Kind::Irc), port, server, options.session);
        sample.session = runner.run();
        sample.ok = sample.session.ok;
        sample.failure = sample.session.failure;
    }
    server.stop();
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return sample;
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

struct Row
{
    const char *name;
    std::function<double(const Sample &)> value;
    int decimals;
    std::string target;
    // Whether ours meets the target, given both medians; empty when no target.
    std::function<std::string(double ours, double peer)> verdict;
};

void printTable(const std::vector<Sample> &ours, const std::vector<Sample> &peer,
                const Options &options)
{
    const double mb = 1024.0;
    auto rss = [mb](long kb) { return kb < 0 ? -1.0 : double(kb) / mb; };
    auto yesNo = [](bool met) { return std::string(met ? "met" : "NOT met"); };
    const std::vector<Row> rows = {
        {"1. fan-out: messages/s",
         [](const Sample &s) { return s.session.fanOutMessagesPerSecond; }, 0, ">= 1.0 x peer",
         [&](double o, double p) { return o < 0 || p < 0 ? std::string("-") : yesNo(o >= p); }},
        {"1. fan-out: deliveries/s (to the other listeners)",
         [](const Sample &s) { return s.session.fanOutDeliveriesPerSecond; }, 0, "", nullptr},
        {"1. fan-out: server CPU per message, us",
         [](const Sample &s) { return s.session.fanOutCpuMicrosecondsPerMessage; }, 2, "", nullptr},
        {"2. latency at 1,000 msg/s: p50 ms",
         [](const Sample &s) { return s.session.latencyP50Ms; }, 3, "", nullptr},
        {"2. latency at 1,000 msg/s: p99 ms",
         [](const Sample &s) { return s.session.latencyP99Ms; }, 3, "<= peer",
         [&](double o, double p) { return o < 0 || p < 0 ? std::string("-") : yesNo(o <= p); }},
        {"2. latency at 1,000 msg/s: max ms",
         [](const Sample &s) { return s.session.latencyMaxMs; }, 3, "", nullptr},
        {"3. join of all clients at once: ms",
         [](const Sample &s) { return s.session.joinAtOnceMs; }, 1, "< 100 ms",
         [&](double o, double) { return o < 0 ? std::string("-") : yesNo(o < 100); }},
        {"4. RSS idle: MB", [&](const Sample &s) { return rss(s.session.rssIdleKb); }, 1, "",
         nullptr},
        {"4. RSS with clients joined: MB",
         [&](const Sample &s) { return rss(s.session.rssJoinedKb); }, 1, "", nullptr},
        {"4. RSS after 20,000 messages: MB",
         [&](const Sample &s) { return rss(s.session.rssAfterFanOutKb); }, 1, "", nullptr},
        {"4. RSS after 200,000 messages: MB",
         [&](const Sample &s) { return rss(s.session.rssAfterMemoryRunKb); }, 1, "", nullptr},
        {"4. RSS growth 20,000 -> 200,000: MB",
         [&](const Sample &s) {
             if (s.session.rssAfterMemoryRunKb < 0 || s.session.rssAfterFanOutKb < 0)
                 return -1.0;
             return std::max(0.0,
                             rss(s.session.rssAfterMemoryRunKb) - rss(s.session.rssAfterFanOutKb));
         },
         1, "<= 30 MB",
         [&](double o, double) { return o < 0 ? std::string("-") : yesNo(o <= 30); }},
        {"5. start-up to ports accepting: ms", [](const Sample &s) { return s.startupMs; }, 1, "",
         nullptr},
    };
    std::printf("\n%d clients, %llu messages fan-out, %d runs per server (medians)\n\n",
                options.session.clients,
                static_cast<unsigned long long>(options.session.fanOutMessages), options.runs);
    std::printf("| scenario | ours | ngIRCd | ours/ngIRCd | target | ours |\n");
    std::printf("|---|---:|---:|---:|---|---|\n");
    for (const Row &row : rows) {
        std::vector<double> oursValues;
        std::vector<double> peerValues;
        for (const Sample &s : ours)
            oursValues.push_back(s.ok ? row.value(s) : -1);
        for (const Sample &s : peer)
            peerValues.push_back(s.ok ? row.value(s) : -1);
        const double o = median(oursValues);
        const double p = median(peerValues);
        const std::string ratio = o < 0 || p <= 0 ? "-" : number(o / p, 2);
        std::printf("| %s | %s | %s | %s | %s | %s |\n", row.name, number(o, row.decimals).c_str(),
                    number(p, row.decimals).c_str(), ratio.c_str(), row.target.c_str(),
                    row.verdict ? row.verdict(o, p).c_str() : "");
    }
    bool loginOpened = false;
    for (const Sample &s : ours)
        loginOpened = loginOpened || s.loginPortOpened;
    if (!loginOpened)
        std::printf("\nStart-up of ours: port 3068 (login service) did not open in this build; "
                    "the figure is to the chat port alone.\n");
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

void report(const char *name, const Sample &sample, int run)
{
    if (sample.ok) {
        std::fprintf(stderr,
                     "run %d %-6s ok: %.0f msg/s, p99 %.3f ms, join %.1f ms, start %.1f ms, "
                     "%llu messages, %llu deliveries checked\n",
                     run + 1, name, sample.session.fanOutMessagesPerSecond,
                     sample.session.latencyP99Ms, sample.session.joinAtOnceMs, sample.startupMs,
                     static_cast<unsigned long long>(sample.session.relayedMessages),
                     static_cast<unsigned long long>(sample.session.checkedDeliveries));
    } else {
        std::fprintf(stderr, "run %d %-6s FAILED: %s\n", run + 1, name, sample.failure.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options))
        return 2;
    const bool wantOurs = options.only.empty() || options.only == "ours";
    const bool wantPeer = options.only.empty() || options.only == "ngircd";
    if (wantOurs && !std::filesystem::exists(options.server)) {
        std::fprintf(stderr, "no server executable at %s\n", options.server.c_str());
        return 2;
    }
    if (wantPeer && !std::filesystem::exists(options.ngircd)) {
        std::fprintf(stderr, "ngIRCd is not installed at %s (apt-get install ngircd)\n",
                     options.ngircd.c_str());
        return 2;
    }
    std::vector<Sample> ours;
    std::vector<Sample> peer;
    LoginResults login;
    bool allOk = true;
    for (int run = 0; run < options.runs; ++run) {
        // Alternate which server goes first, so neither always runs on a
        // machine that the other just warmed up.
        const bool oursFirst = run % 2 == 0;
        for (int turn = 0; turn < 2; ++turn) {
            if (turn == 0 ? oursFirst : !oursFirst) {
                if (!wantOurs)
                    continue;
                ours.push_back(runOurs(options));
                report("ours", ours.back(), run);
                allOk = allOk && ours.back().ok;
            } else {
                if (!wantPeer)
                    continue;
                peer.push_back(runPeer(options));
                report("ngIRCd", peer.back(), run);
                allOk = allOk && peer.back().ok;
            }
        }
        for (int users : wantOurs ? options.loginUsers : std::vector<int>{}) {
            LoginScenario scenario(options.loginHost, users, options.loginValidates,
                                   options.loginRegistrations);
            const LoginScenario::Result result = scenario.run();
            if (result.ok)
                std::fprintf(stderr,
                             "run %d login  ok: %d users, VALIDATE p99 %.2f ms, NEWUSER p99 "
                             "%.2f ms\n",
                             run + 1, users, result.validateP99Ms, result.newUserP99Ms);
            else
                std::fprintf(stderr, "run %d login  FAILED at %d users: %s\n", run + 1, users,
                             result.failure.c_str());
            allOk = allOk && result.ok;
            login[users].push_back(result);
        }
    }
    if (options.smoke) {
        std::printf("smoke: %s\n", allOk ? "every message reached every listener, in order and "
                                           "unchanged, on both servers; the login service "
                                           "answered every request"
                                         : "FAILED");
        return allOk ? 0 : 1;
    }
    printTable(ours, peer, options);
    if (!login.empty())
        printLoginTable(login);
    return allOk ? 0 : 1;
}
