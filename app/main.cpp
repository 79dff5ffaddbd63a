// The process entry: options, the application object, the main window and the message loop.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

#include "app/main_class.h"
#include "platform/resolver.h"
#include "platform/window.h"
#include "support/log.h"

namespace {

// Options are read before the toolkit starts, since --headless decides how it starts.
bool parse_options(int argc, char** argv, run_options& opts, int& exit_code) {
    QCoreApplication probe(argc, argv);
    QCoreApplication::setApplicationName("swarm");
    QCoreApplication::setApplicationVersion(main_class::version);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Quorin Swarm Controller: simulates, drives and watches a swarm of wheeled robots.\n"
        "Reads robots.txt from the working directory and writes log.txt there.");
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption headless("headless", "Run without showing windows.");
    QCommandLineOption ticks("ticks", "Quit after <n> ticks.", "n");
    QCommandLineOption step(
        "fixed-step", "Advance the simulation <seconds> per tick and run ticks back to back.", "seconds");
    QCommandLineOption seed("seed", "Seed the random generator with <n> instead of the clock.", "n");
    QCommandLineOption snapshot("snapshot", "Write the main view to <file> (PNG) at exit.", "file");
    QCommandLineOption stats("stats", "Print run figures at exit, one 'name: value' per line.");
    QCommandLineOption keys("keys", "Press these main-window keys once at start (letters, e.g. HGI).", "letters");
    QCommandLineOption world("world", "Load walls and the target from <file>; key S saves them there.", "file");
    QCommandLineOption log_max("log-max-mb", "Keep log.txt under <n> MiB (default 100); older lines go to log.txt.1.", "n");
    QCommandLineOption bodies("bodies", "Robots are bodies to one another: they see, avoid and never overlap each other.");
    QCommandLineOption record("record", "Write the run's record (CSV: poses, targets, telemetry, commands) to <file>.", "file");
    QCommandLineOption record_every("record-every", "Record every robot's pose every <n> ticks (default 10).", "n");
    QCommandLineOption replay("replay", "Play back the record <file> instead of simulating.", "file");
    parser.addOptions({headless, ticks, step, seed, snapshot, stats, keys, world, log_max, bodies});
    parser.addOptions({record, record_every, replay});
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "swarm: %s\n", qPrintable(parser.errorText()));
        exit_code = 2;
        return false;
    }
    if (parser.isSet("help")) {
        std::printf("%s", qPrintable(parser.helpText()));
        exit_code = 0;
        return false;
    }
    if (parser.isSet("version")) {
        std::printf("swarm %s\n", main_class::version);
        exit_code = 0;
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "swarm: unexpected argument %s\n",
                     qPrintable(parser.positionalArguments().first()));
        exit_code = 2;
        return false;
    }
    bool ok = true;
    opts.headless = parser.isSet(headless);
    if (parser.isSet(ticks)) {
        opts.ticks = parser.value(ticks).toLongLong(&ok);
        if (!ok || opts.ticks < 0) {
            std::fprintf(stderr, "swarm: --ticks takes a whole number of 0 or more\n");
            exit_code = 2;
            return false;
        }
    }
    if (parser.isSet(step)) {
        opts.fixed_step = parser.value(step).toDouble(&ok);
        if (!ok || !(opts.fixed_step > 0) || opts.fixed_step > 10) {
            std::fprintf(stderr, "swarm: --fixed-step takes seconds above 0 and at most 10\n");
            exit_code = 2;
            return false;
        }
    }
    if (parser.isSet(seed)) {
        opts.seed = parser.value(seed).toUInt(&ok);
        if (!ok) {
            std::fprintf(stderr, "swarm: --seed takes a whole number from 0 to 4294967295\n");
            exit_code = 2;
            return false;
        }
        opts.seed_set = true;
    }
    if (parser.isSet(log_max)) {
        const unsigned mb = parser.value(log_max).toUInt(&ok);
        if (!ok || mb < 1 || mb > 1048576) {
            std::fprintf(stderr, "swarm: --log-max-mb takes a whole number from 1 to 1048576\n");
            exit_code = 2;
            return false;
        }
        set_log_limit(std::uint64_t{mb} << 20);
    }
    opts.snapshot = parser.value(snapshot).toStdString();
    opts.stats = parser.isSet(stats);
    opts.bodies = parser.isSet(bodies);
    opts.keys = parser.value(keys).toStdString();
    opts.world = parser.value(world).toStdString();
    if (parser.isSet(world) && opts.world.empty()) {
        std::fprintf(stderr, "swarm: --world takes a file name\n");
        exit_code = 2;
        return false;
    }
    for (char c : opts.keys) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            std::fprintf(stderr, "swarm: --keys takes letters only\n");
            exit_code = 2;
            return false;
        }
    }
    opts.record = parser.value(record).toStdString();
    opts.replay = parser.value(replay).toStdString();
    if ((parser.isSet(record) && opts.record.empty()) || (parser.isSet(replay) && opts.replay.empty())) {
        std::fprintf(stderr, "swarm: --record and --replay take a file name\n");
        exit_code = 2;
        return false;
    }
    if (parser.isSet(record_every)) {
        opts.record_every = parser.value(record_every).toLongLong(&ok);
        if (!ok || opts.record_every < 1 || opts.record_every > 1000000) {
            std::fprintf(stderr, "swarm: --record-every takes a whole number from 1 to 1000000\n");
            exit_code = 2;
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    run_options opts;
    int exit_code = 0;
    if (!parse_options(argc, argv, opts, exit_code)) return exit_code;

    platform::init_app(argc, argv, opts.headless);
    if (platform::is_headless() && !opts.headless)
        std::fprintf(stderr, "swarm: no display found, running headless\n");

    auto* app = new main_class(opts);
    if (app->setup_window() != 0) {
        std::fprintf(stderr, "swarm: could not create the main window\n");
        delete app;
        return 1;
    }
    platform::quit_on_signals();
    int code = platform::run_message_loop();

    // Whatever ended the loop, the run's figures are written and the world is torn down.
    app->finish_run();
    if (platform::is_window(app->hwnd)) platform::destroy_window(app->hwnd);
    delete app;
    // Look-ups still under way are cancelled, so the program ends at once.
    platform::shutdown_resolver();
    return code;
}
