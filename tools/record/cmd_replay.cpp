// modemflash replay FILE: a recorded session as a readable timeline.
#include <stdio.h>

#include <memory>
#include <string>

#include "cli/command_registry.h"
#include "cli/display/engine_lines.h"
#include "session/session_reader.h"
#include "session/session_timeline.h"

namespace {

struct ReplayOptions {
    std::string file;
    bool json = false;
    bool partial = false;
};

const char* arrow(const std::string& dir) {
    if (dir == "host") return "->";
    if (dir == "modem") return "<-";
    if (dir == "port") return "==";
    if (dir == "pause") return "..";
    return "  ";
}

int runReplay(const ReplayOptions& o) {
    session::ReadOptions r;
    r.allowPartial = o.partial;
    session::Session s;
    session::SessionProblem problem;
    if (!session::readSession(o.file, r, &s, &problem)) {
        fprintf(stderr, "modemflash: %s: %s\n", o.file.c_str(), problem.text().c_str());
        return 1;
    }
    std::vector<session::TimelineEntry> timeline = session::session_Timeline(s);
    if (o.json) {
        session::Json head;
        head["type"] = "session";
        head["header"] = s.header;
        head["interrupted"] = s.interrupted;
        if (!s.note.empty()) head["note"] = s.note;
        printf("%s\n", head.dump(-1, ' ', false, session::Json::error_handler_t::replace).c_str());
        for (const session::TimelineEntry& t : timeline) {
            session::Json e;
            e["t"] = t.seconds;
            e["dir"] = t.dir;
            e["kind"] = t.kind;
            e["text"] = t.text;
            if (!t.event.is_null()) e["event"] = t.event;
            printf("%s\n", e.dump(-1, ' ', false, session::Json::error_handler_t::replace).c_str());
        }
        return 0;
    }
    printf("%s\n", session::session_Describe(s).c_str());
    if (!s.note.empty()) printf("(%s)\n", s.note.c_str());
    for (const session::TimelineEntry& t : timeline)
        printf("%10.3f %s %s\n", t.seconds, arrow(t.dir), t.text.c_str());
    fflush(stdout);
    return 0;
}

const cli::CommandRegistrar replayCommand{
    "replay", "Show a recorded session (flash --record) as a timeline", [](CLI::App& app) {
        auto o = std::make_shared<ReplayOptions>();
        app.add_option("FILE", o->file, "The session file (plain, .gz or .zst)")->required();
        app.add_flag("--json", o->json,
                     "One JSON object per line: the session's first line, then each entry "
                     "{t, dir, kind, text, event: the session's own line}");
        app.add_flag("--partial", o->partial,
                     "Read a session that ends without its end line (an interrupted recording) "
                     "up to its last whole line");
        app.footer(
            "Each line: the time on the scaled clock (seconds since the session began), the "
            "direction (-> host to modem, <- modem to host, == the port, .. a pause), and what "
            "passed: text in quotes, frames summed up, status bytes with their meaning.\n"
            "Exit status: 0 shown; 1 the file is not a whole session (the line and what is "
            "wrong are printed); 2 the command line was not understood.");
        return cli::Action([o] { return runReplay(*o); });
    }};

}  // namespace
