// lbhost.exe: plays the host photo application against lensbridge.exe from the command line.
// Each run starts the process, connects the pipes, does one job and shuts the process down.
// See Usage() for the subcommands; --json gives one JSON object per run for scripts.
#include <windows.h>

#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "values/lua_value.h"
#include "platform/platform.h"
#include "tools/command_args.h"
#include "tools/host_session.h"
#include "tools/value_printer.h"

namespace {

const char kUsage[] =
    "usage: lbhost [options] COMMAND [arguments]\n"
    "\n"
    "Starts lensbridge.exe, connects to its pipes as the host application does, runs one\n"
    "command and shuts it down again.\n"
    "\n"
    "commands:\n"
    "  list                         the cameras the process finds\n"
    "  settings                     the exposure settings of the camera, with their choices\n"
    "  set SETTING ENTRY            change aperture, shutter, iso or wb to ENTRY, given as it\n"
    "                               is listed (\"f/8\") or by its 0-based index\n"
    "  capture [--count N] [--interval MS] [--out DIR]\n"
    "                               shoot N frames (default 1), copy every file to DIR\n"
    "  liveview [--seconds S] [--out DIR]\n"
    "                               run live view for S seconds (default 3), save the frames\n"
    "  focus DIRECTION [--times N]  drive the lens: 1/-1 fine, 2/-2 medium, 3/-3 coarse\n"
    "  af                           toggle contrast auto-focus; prints the state before\n"
    "  send NAME [key=value ...]    send one raw command and print what comes back\n"
    "  demo [--out DIR]             a whole tether session, step by step\n"
    "\n"
    "options:\n"
    "  --exe PATH      lensbridge.exe to start (default: beside lbhost.exe)\n"
    "  --device ID     the camera to use (default: the first one listed)\n"
    "  --timeout MS    how long to wait for each answer (default 10000)\n"
    "  --json          machine-readable output: one JSON object\n"
    "  --help          this text\n";

struct Options {
    std::string exePath;
    std::uint32_t deviceId = 0;
    unsigned timeoutMs = 10000;
    bool json = false;
    std::string command;
    std::vector<std::string> arguments;
    // Subcommand options.
    int count = 1;
    unsigned intervalMs = 0;
    double seconds = 3;
    int times = 1;
    std::string outFolder;
};

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string DefaultExePath() {
    return platform::executableDirectory() + "\\lensbridge.exe";
}

bool ParseOptions(const std::vector<std::string>& words, Options* options, std::string* error) {
    auto value = [&](std::size_t& i) -> const std::string* {
        if (i + 1 >= words.size()) {
            *error = words[i] + " needs a value";
            return nullptr;
        }
        return &words[++i];
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const std::string* v = nullptr;
        if (w == "--json") {
            options->json = true;
        } else if (w == "--exe") {
            if (!(v = value(i))) return false;
            options->exePath = *v;
        } else if (w == "--device") {
            if (!(v = value(i))) return false;
            options->deviceId = static_cast<std::uint32_t>(std::strtoul(v->c_str(), nullptr, 0));
        } else if (w == "--timeout") {
            if (!(v = value(i))) return false;
            options->timeoutMs = static_cast<unsigned>(std::strtoul(v->c_str(), nullptr, 10));
        } else if (w == "--count") {
            if (!(v = value(i))) return false;
            options->count = std::atoi(v->c_str());
        } else if (w == "--interval") {
            if (!(v = value(i))) return false;
            options->intervalMs = static_cast<unsigned>(std::strtoul(v->c_str(), nullptr, 10));
        } else if (w == "--seconds") {
            if (!(v = value(i))) return false;
            options->seconds = std::atof(v->c_str());
        } else if (w == "--times") {
            if (!(v = value(i))) return false;
            options->times = std::atoi(v->c_str());
        } else if (w == "--out") {
            if (!(v = value(i))) return false;
            options->outFolder = *v;
        } else if (options->command.empty()) {
            options->command = w;
        } else {
            options->arguments.push_back(w);
        }
    }
    if (options->command.empty()) {
        *error = "no command given";
        return false;
    }
    if (options->count < 1 || options->times < 1 || options->seconds <= 0) {
        *error = "--count, --times and --seconds must be positive";
        return false;
    }
    return true;
}

// What a run prints: progress lines for people, or one JSON object at the end.
class COutput {
public:
    explicit COutput(bool json) : m_json(json) {}

    void progress(const char* format, ...) {
        if (m_json) return;
        va_list args;
        va_start(args, format);
        std::vfprintf(stdout, format, args);
        va_end(args);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    // A JSON member of the final object ("key": raw JSON text).
    void field(const std::string& key, const std::string& jsonValue) {
        if (!m_fields.empty()) m_fields += ", ";
        m_fields += JsonQuote(key) + ": " + jsonValue;
    }
    int finish(bool ok, const std::string& error) {
        if (m_json) {
            field("ok", ok ? "true" : "false");
            if (!ok) field("error", JsonQuote(error));
            std::printf("{%s}\n", m_fields.c_str());
        } else if (!ok) {
            std::fprintf(stderr, "lbhost: %s\n", error.c_str());
        }
        std::fflush(stdout);
        return ok ? 0 : 1;
    }
    bool json() const { return m_json; }

private:
    bool m_json;
    std::string m_fields;
};

// The settings table as a photographer reads it: one line per setting, the current entry
// marked among the choices.
void PrintSettings(COutput& out, const ZnLuaTE* settings) {
    if (!settings || settings->type != kZnLuaTable) return;
    const auto* table = static_cast<const ZnLuaTETable*>(settings);
    static const struct {
        const char* label;
        const char* valueKey;
        const char* entriesKey;
    } kRows[] = {
        {"aperture", "aperture", "apertureEntries"},
        {"shutter", "shutter", "shutterEntries"},
        {"iso", "isoSpeed", "isoEntries"},
        {"white balance", "whiteBalance", "wbEntries"},
        {"focus mode", "focusMode", nullptr},
        {"auto-focus", "AFButtonPressed", nullptr},
        {"exposure mode", "exposureMode", nullptr},
    };
    for (const auto& row : kRows) {
        const ZnLuaTE* value = table->getValue(row.valueKey);
        if (!value) continue;
        const std::string current =
            value->type == kZnLuaString ? value->getString() : FormatValue(value);
        std::string line = std::string("  ") + row.label;
        line.resize(17, ' ');
        line += current;
        const ZnLuaTETable* entries = row.entriesKey ? table->getTable(row.entriesKey) : nullptr;
        if (entries) {
            line.resize(27, ' ');
            line += "choices: ";
            bool first = true;
            for (const auto& e : *entries) {
                line += (first ? "" : " ");
                first = false;
                const std::string text = e.second->getString();
                line += text == current ? "[" + text + "]" : text;
            }
        }
        out.progress("%s", line.c_str());
    }
    // Anything else the camera reported, so nothing is hidden.
    for (const auto& entry : *table) {
        const std::string key = entry.first->getString();
        bool shown = false;
        for (const auto& row : kRows) {
            shown = shown || key == row.valueKey || (row.entriesKey && key == row.entriesKey);
        }
        if (!shown) out.progress("  %-15s%s", key.c_str(), FormatValue(entry.second).c_str());
    }
}

// Starts the process and connects the chosen (or first) camera.
bool OpenCamera(CHostSession& session, const Options& options, COutput& out,
                std::unique_ptr<ZnLuaTE>* settings, std::string* error) {
    std::vector<CameraInfo> cameras;
    if (!session.listCameras(&cameras, error)) return false;
    if (cameras.empty()) {
        *error = "no camera answered: is one connected and switched on, and are the camera "
                 "modules (Type00xx.md3) beside lensbridge.exe?";
        return false;
    }
    CameraInfo chosen = cameras.front();
    if (options.deviceId) {
        bool found = false;
        for (const auto& c : cameras) {
            if (c.deviceId == options.deviceId) {
                chosen = c;
                found = true;
            }
        }
        if (!found) {
            *error = "no camera has device id " + std::to_string(options.deviceId);
            return false;
        }
    }
    out.progress("connecting %s (device %u)", chosen.name.c_str(), chosen.deviceId);
    return session.connect(chosen.deviceId, settings, error);
}

std::string FilesJson(const std::vector<DownloadedFile>& files,
                      const std::vector<std::string>& copies) {
    std::string json = "[";
    for (std::size_t i = 0; i < files.size(); ++i) {
        const DownloadedFile& f = files[i];
        if (i) json += ", ";
        json += "{\"capture_id\": " + std::to_string(f.captureId) +
                ", \"file_name\": " + JsonQuote(f.fileName) +
                ", \"file_size\": " + std::to_string(f.announcedSize) +
                ", \"has_sidecar\": " + (f.hasSidecar ? "true" : "false") +
                ", \"file_path\": " + JsonQuote(f.path) +
                ", \"download_ms\": " + std::to_string(static_cast<long long>(f.downloadMs));
        if (i < copies.size()) json += ", \"copy\": " + JsonQuote(copies[i]);
        json += "}";
    }
    return json + "]";
}

// Shoots options.count frames and copies the files; shared by "capture" and the demo.
bool Shoot(CHostSession& session, const Options& options, COutput& out,
           std::vector<DownloadedFile>* files, std::vector<std::string>* copies,
           std::string* error) {
    for (int n = 1; n <= options.count; ++n) {
        const auto start = Clock::now();
        std::vector<DownloadedFile> frame;
        if (!session.capture(&frame, 60000, error)) return false;
        for (const auto& f : frame) {
            out.progress("  frame %d: %s, %lld bytes, downloaded in %.0f ms", n, f.fileName.c_str(),
                         f.announcedSize, f.downloadMs);
            if (!options.outFolder.empty()) {
                const std::string copy = CopyIntoFolder(f.path, options.outFolder, error);
                if (copy.empty()) return false;
                copies->push_back(copy);
            }
        }
        out.progress("  frame %d done in %.2f s", n, SecondsSince(start));
        files->insert(files->end(), frame.begin(), frame.end());
        if (n < options.count && options.intervalMs) Sleep(options.intervalMs);
    }
    return true;
}

bool SaveFrames(const std::vector<LiveViewFrame>& frames, const std::string& folder,
                std::string* error) {
    CreateDirectoryW(reinterpret_cast<const wchar_t*>(platform::utf8ToUtf16(folder).c_str()),
                     nullptr);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "\\liveview-%03u.jpg", static_cast<unsigned>(i + 1));
        const std::string path = folder + name;
        FILE* file = platform::openForWriting(path);
        if (!file) {
            *error = "could not write " + path;
            return false;
        }
        const bool written =
            std::fwrite(frames[i].jpeg.data(), 1, frames[i].jpeg.size(), file) ==
            frames[i].jpeg.size();
        if (std::fclose(file) != 0 || !written) {
            *error = "could not write " + path;
            return false;
        }
    }
    return true;
}

std::string SettingsJson(const ZnLuaTE* settings) { return FormatValueJson(settings); }

// One job; returns false with *error when it could not be done.
bool RunCommand(CHostSession& session, const Options& options, COutput& out, std::string* error) {
    const std::string& command = options.command;
    const auto& args = options.arguments;

    if (command == "list") {
        std::vector<CameraInfo> cameras;
        if (!session.listCameras(&cameras, error)) return false;
        std::string json = "[";
        for (const auto& c : cameras) {
            out.progress("%u  %s", c.deviceId, c.name.c_str());
            if (json.size() > 1) json += ", ";
            json += "{\"device_id\": " + std::to_string(c.deviceId) +
                    ", \"name\": " + JsonQuote(c.name) + "}";
        }
        if (cameras.empty()) out.progress("no camera found");
        out.field("cameras", json + "]");
        return true;
    }

    if (command == "send") {
        if (args.empty()) {
            *error = "send needs a command name";
            return false;
        }
        std::unique_ptr<ZnLuaTETable> params =
            BuildParameterTable(std::vector<std::string>(args.begin() + 1, args.end()), error);
        if (!params) return false;
        const std::uint32_t id = session.client().send(args[0], params.get());
        if (id == 0) {
            *error = "could not send the command";
            return false;
        }
        // Most commands have no reply; show whatever arrives for a moment.
        std::string json = "[";
        for (auto& m : session.client().collectFor(1500)) {
            out.progress("%s", FormatHostMessage(m.requestId, m.name.get(), m.payload.get(),
                                             ValueFormat{2}).c_str());
            if (json.size() > 1) json += ", ";
            json += "{\"request_id\": " + std::to_string(m.requestId) + ", \"name\": " +
                    JsonQuote(m.nameText()) + ", \"payload\": " +
                    FormatValueJson(m.payload.get()) + "}";
        }
        out.field("messages", json + "]");
        return true;
    }

    std::unique_ptr<ZnLuaTE> settings;
    if (!OpenCamera(session, options, out, &settings, error)) return false;
    out.field("device_id", std::to_string(session.deviceId()));

    if (command == "settings") {
        if (!session.settings(&settings, error)) return false;
        PrintSettings(out, settings.get());
        out.field("settings", SettingsJson(settings.get()));
        return true;
    }
    if (command == "set") {
        if (args.size() != 2) {
            *error = "set needs a setting and an entry, e.g. set aperture f/8";
            return false;
        }
        if (!session.changeSetting(args[0], args[1], &settings, error)) return false;
        PrintSettings(out, settings.get());
        out.field("settings", SettingsJson(settings.get()));
        return true;
    }
    if (command == "capture") {
        std::vector<DownloadedFile> files;
        std::vector<std::string> copies;
        const bool ok = Shoot(session, options, out, &files, &copies, error);
        out.field("files", FilesJson(files, copies));
        return ok;
    }
    if (command == "liveview") {
        std::vector<LiveViewFrame> frames;
        const unsigned ms = static_cast<unsigned>(options.seconds * 1000);
        if (!session.liveView(ms, &frames, error)) return false;
        out.progress("%zu frames in %.1f s", frames.size(), options.seconds);
        if (!options.outFolder.empty() && !SaveFrames(frames, options.outFolder, error)) {
            return false;
        }
        out.field("frames", std::to_string(frames.size()));
        return true;
    }
    if (command == "focus") {
        if (args.size() != 1) {
            *error = "focus needs a direction: 1, -1, 2, -2, 3 or -3";
            return false;
        }
        const int direction = std::atoi(args[0].c_str());
        for (int i = 0; i < options.times; ++i) {
            if (!session.focus(direction, error)) return false;
        }
        out.progress("focus driven %d time(s) in direction %d", options.times, direction);
        return true;
    }
    if (command == "af") {
        bool wasOn = false;
        if (!session.toggleAutoFocus(&wasOn, error)) return false;
        out.progress("contrast auto-focus was %s, now toggled", wasOn ? "on" : "off");
        out.field("was_on", wasOn ? "true" : "false");
        return true;
    }
    *error = "unknown command \"" + command + "\" (lbhost --help lists them)";
    return false;
}

// The whole tether session of the demo, with a line per step and a summary at the end.
bool RunDemo(CHostSession& session, Options options, COutput& out, std::string* error) {
    const auto sessionStart = Clock::now();
    if (options.outFolder.empty()) options.outFolder = "demo-out";
    std::unique_ptr<ZnLuaTE> settings;

    out.progress("1. cameras");
    std::vector<CameraInfo> cameras;
    if (!session.listCameras(&cameras, error)) return false;
    for (const auto& c : cameras) out.progress("   %u  %s", c.deviceId, c.name.c_str());

    out.progress("2. connect");
    if (!OpenCamera(session, options, out, &settings, error)) return false;
    out.progress("3. settings");
    PrintSettings(out, settings.get());

    out.progress("4. aperture to f/8");
    if (!session.changeSetting("aperture", "f/8", &settings, error)) return false;
    PrintSettings(out, settings.get());

    std::vector<DownloadedFile> files;
    std::vector<std::string> copies;
    out.progress("5. shoot a JPEG frame");
    Options shot = options;
    shot.count = 1;
    if (!Shoot(session, shot, out, &files, &copies, error)) return false;

    out.progress("6. shoot a RAW+JPEG frame");
    // The simulated camera's image quality is chosen through its control line; a real
    // camera's through its own menu.
    if (const char* control = std::getenv("LBSIM_CONTROL")) {
        if (FILE* f = std::fopen(control, "ab")) {
            std::fputs("format raw+jpeg\n", f);
            std::fclose(f);
        }
    }
    if (!Shoot(session, shot, out, &files, &copies, error)) return false;

    out.progress("7. live view for 3 seconds");
    std::vector<LiveViewFrame> frames;
    if (!session.liveView(3000, &frames, error)) return false;
    std::size_t frameBytes = 0;
    for (const auto& f : frames) frameBytes += f.jpeg.size();
    out.progress("   %zu frames, %zu bytes, saved to %s", frames.size(), frameBytes,
                 options.outFolder.c_str());
    if (!SaveFrames(frames, options.outFolder + "\\liveview", error)) return false;

    out.progress("8. focus: two coarse steps out, one fine step back");
    if (!session.focus(3, error) || !session.focus(3, error) || !session.focus(-1, error)) {
        return false;
    }

    out.progress("9. contrast auto-focus");
    bool wasOn = false;
    if (!session.toggleAutoFocus(&wasOn, error)) return false;
    out.progress("   was %s; toggled", wasOn ? "on" : "off");
    if (!session.toggleAutoFocus(&wasOn, error)) return false;
    out.progress("   was %s; toggled back", wasOn ? "on" : "off");

    out.field("files", FilesJson(files, copies));
    out.field("frames", std::to_string(frames.size()));
    out.field("session_seconds", std::to_string(SecondsSince(sessionStart)));
    out.progress("session steps done in %.1f s", SecondsSince(sessionStart));
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        words.push_back(platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    }
    for (const auto& w : words) {
        if (w == "--help" || w == "-h" || w == "help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    Options options;
    std::string error;
    if (!ParseOptions(words, &options, &error)) {
        std::fprintf(stderr, "lbhost: %s\n\n%s", error.c_str(), kUsage);
        return 2;
    }
    COutput out(options.json);
    CHostSession session;
    session.timeoutMs = options.timeoutMs;
    const std::string exe = options.exePath.empty() ? DefaultExePath() : options.exePath;
    if (!session.start(exe, options.timeoutMs, &error)) {
        return out.finish(false, "could not start " + exe + ": " + error);
    }
    const bool ok = options.command == "demo" ? RunDemo(session, options, out, &error)
                                              : RunCommand(session, options, out, &error);
    // The process is shut down in every case, so it never outlives the run.
    unsigned long exitCode = 0;
    std::string shutdownError;
    if (!session.shutdown(&exitCode, &shutdownError)) {
        if (ok) return out.finish(false, shutdownError);
    } else if (options.command == "demo") {
        out.progress("10. shutdown: process ended with exit code %lu", exitCode);
    }
    return out.finish(ok, error);
}
