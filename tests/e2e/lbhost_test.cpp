// lbhost.exe as a photographer runs it: a child process with its own temp folder, driving
// lensbridge.exe on the simulated cameras, judged by its exit code, its output and its files.
#include <windows.h>
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_support.h"
#include "lbhost/client/child_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct LbhostRun {
  unsigned long exitCode = 0;
  std::string out;
  std::string err;
  double seconds = 0;
  nlohmann::json json() const { return nlohmann::json::parse(out); }
};

// The run ended with `code`, its standard error holding `text`.
::testing::AssertionResult Ended(const LbhostRun& r, unsigned long code, const std::string& text) {
  if (r.exitCode == code) return Has(r.err, text);
  return ::testing::AssertionFailure()
         << "exit code " << r.exitCode << ", not " << code << ": " << r.err;
}

// One test's world: a folder of its own that lbhost and lensbridge.exe use as TMP and TEMP (so
// the downloads land there), with the simulator's control file and scenario inside it; removed
// with everything in it when the test ends.
class LbhostTest : public ::testing::Test {
 protected:
  LbhostTest() : m_folder(CurrentTestName()), m_dir(fs::u8path(m_folder.path())) {}
  void SetUp() override {
    ASSERT_TRUE(m_folder.valid());
    std::ofstream(m_dir / "control");
  }

  std::string path(const std::string& name) const { return (m_dir / name).u8string(); }
  void control(const std::string& line) {
    std::ofstream(m_dir / "control", std::ios::app) << line << "\n";
  }
  void scenario(const std::string& text) {
    std::ofstream(m_dir / "scenario", std::ios::binary) << text;
    m_scenario = path("scenario");
  }

  // Runs lbhost.exe with `args` and waits for it (at most a minute). `meanwhile`, when given,
  // runs while lbhost does: it waits for a sign of how far the run got and then acts on the
  // camera, so the test holds on a slow machine where a fixed delay would miss the moment.
  // `name` tells the output files of a second lbhost run at the same time apart. lbhost runs in
  // a process group of its own, as a shell runs each job, so pressCtrlC() reaches it alone.
  LbhostRun run(const std::vector<std::string>& args, const std::function<void()>& meanwhile = {},
                const std::string& name = "") {
    LbhostRun result;
    const auto start = Clock::now();
    {
      CChildProcess lbhost;
      lbhost.startInOwnProcessGroup(true);
      lbhost.sendOutputTo(path(name + "stdout.txt"), path(name + "stderr.txt"));
      std::string error;
      const auto environment = m_folder.environment({{"LBSIM_CONTROL", path("control")},
                                                     {"LBSIM_SCENARIO", m_scenario},
                                                     {"LBSIM_LENS_LOG", path("lens.log")}});
      if (!lbhost.start(BuiltProgram("lbhost.exe"), args, environment, &error)) {
        ADD_FAILURE() << error;
        return result;
      }
      if (meanwhile) meanwhile();
      const auto code = lbhost.waitForExit(60000);
      EXPECT_TRUE(code) << "lbhost.exe did not end within a minute";
      result.exitCode = code.value_or(CChildProcess::kTerminatedExitCode);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.out = ReadFile(path(name + "stdout.txt"));
    result.err = ReadFile(path(name + "stderr.txt"));
    return result;
  }

  // What a terminal's Ctrl+C does: SIGINT to the process group of the job lbhost runs in,
  // which Wine hands to lbhost as a console Ctrl+C. The Linux process is the one whose
  // arguments name this test's folder (so the run must name a path in it); Wine starts Linux
  // programs such as kill directly.
  void pressCtrlC() {
    std::string pid;
    for (const auto& entry : fs::directory_iterator(fs::u8path("Z:\\proc"))) {
      const std::string dir = entry.path().u8string();
      if (ReadFile(dir + "\\comm") == "lbhost.exe\n" &&
          Has(ReadFile(dir + "\\cmdline"), m_folder.path()))
        pid = entry.path().filename().u8string();
    }
    ASSERT_FALSE(pid.empty()) << "no lbhost.exe of this test is running";
    std::wstring command = L"Z:\\bin\\kill -INT -- -" + platform::utf8ToWide(pid);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\kill", &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &info));
    // A Linux program gives Wine nothing to wait on; lbhost's own output tells it arrived.
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }

  // Waits (at most 30 s) until lbhost's standard error holds `text`; false if it never does.
  bool stderrShows(const std::string& text) {
    return eventually([&] { return Has(ReadFile(path("stderr.txt")), text); });
  }
  // Waits (at most 30 s) until `folder` holds `count` files with this extension.
  bool filesArrive(const char* folder, const char* extension, std::size_t count) {
    return eventually([&] {
      std::error_code ignored;
      std::size_t n = 0;
      for (const auto& entry : fs::directory_iterator(m_dir / folder, ignored))
        n += entry.path().extension() == extension;
      return n >= count;
    });
  }
  static bool eventually(const std::function<bool()>& condition) {
    for (const auto until = Clock::now() + std::chrono::seconds(30); Clock::now() < until;) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Files in `folder` (relative to the test's folder), by name.
  std::vector<std::string> filesIn(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_dir / folder))
      names.push_back(entry.path().filename().u8string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every process run() starts has ended before the folder goes.
  CTestDownloadFolder m_folder;
  fs::path m_dir;
  std::string m_scenario;
};

TEST_F(LbhostTest, UsageErrorsStopBeforeAnythingStartsWithOneLineOrJson) {
  // Which lines are refused is the native command-line suite's business.
  const LbhostRun nearMiss = run({"capture", "--cout", "2"});
  EXPECT_TRUE(nearMiss.out.empty()) << nearMiss.out;
  EXPECT_EQ(std::count(nearMiss.err.begin(), nearMiss.err.end(), '\n'), 1) << nearMiss.err;
  EXPECT_TRUE(Ended(nearMiss, 2, "did you mean --count?"));
  // Nothing was shot: the camera's files would be in the temp folder.
  EXPECT_EQ(filesIn(".").size(), 3u);  // control, stdout.txt, stderr.txt

  const LbhostRun json = run({"--json", "capture", "--cout", "2"});
  EXPECT_EQ(json.exitCode, 2u);
  const auto object = json.json();
  EXPECT_EQ(object["ok"], false);
  EXPECT_EQ(object["exit_code"], 2);
  EXPECT_EQ(object["format_version"], 1);
  EXPECT_EQ(object["error"]["kind"], "usage");
  EXPECT_EQ(object["error"]["did_you_mean"], "--count");
}

TEST_F(LbhostTest, SetMatchesTheCamerasTextsAndChecksTheCameraTookThem) {
  const LbhostRun r = run({"--json", "set", "iso", "3200", "set", "shutter", "1", "set", "aperture",
                           "--index", "0", "set", "wb", "daylight"});
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  const auto steps = r.json()["steps"];
  ASSERT_EQ(steps.size(), 4u);
  EXPECT_EQ(steps[0]["was"], "100");
  const char* const values[] = {"3200", "1\"", "f/1.8", "Daylight"};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(steps[i]["value"], values[i]) << "step " << i;

  EXPECT_TRUE(Ended(run({"set", "iso", "3201"}), 1, "choices: 64 100 200"));
  EXPECT_TRUE(Ended(run({"set", "iso", "--index", "99"}), 1, "numbered 0 to 8"));
}

TEST_F(LbhostTest, CaptureMovesEachFileIntoANewFolderUnderItsPatternAndRunsTheHook) {
  const std::string out = path("shots\\day one");
  const LbhostRun r = run({"--json", "capture", "--count", "2", "--out", out, "--filename",
                           "{camera}_{n:3}", "--hook", "echo hooked"});
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  EXPECT_EQ(filesIn("shots\\day one"), (std::vector<std::string>{"D850_001.jpg", "D850_002.jpg"}));
  const auto files = r.json()["steps"][0]["files"];
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0]["path"], out + "\\D850_001.jpg");
  EXPECT_EQ(files[0]["file_size"].get<std::uintmax_t>(),
            fs::file_size(fs::u8path(out + "\\D850_001.jpg")));
  // The hook ran once per file with its path; under --json its output goes to stderr.
  EXPECT_TRUE(Has(r.err, "hooked \"" + out + "\\D850_002.jpg\""));
  // Without --out the text says where the process put the file.
  const LbhostRun plain = run({"capture"});
  ASSERT_EQ(plain.exitCode, 0u) << plain.err;
  EXPECT_TRUE(Has(plain.out, "path " + path("Capture")));
  // A folder that cannot be made stops the run before the shutter is released, and the
  // system's reason is given in words.
  std::ofstream(m_dir / "taken") << "a file, not a folder";
  EXPECT_TRUE(Ended(run({"capture", "--out", path("taken") + "\\sub"}), 1,
                    "taken is a file, not a folder"));
  const LbhostRun badName = run({"capture", "--out", path("bad?name")});
  EXPECT_EQ(badName.exitCode, 1u);
  EXPECT_TRUE(std::regex_search(
      badName.err, std::regex("could not make the folder .*: [a-z][a-z ,]+.* \\(error [0-9]+\\)")))
      << badName.err;
  EXPECT_FALSE(Has(plain.out, "Capture0002"));
  for (const auto& name : filesIn(".")) EXPECT_FALSE(Has(name, "Capture0002"));
}

// The camera unplugged during live view ends the run at once, saying so.
TEST_F(LbhostTest, AnUnpluggedCameraIsReportedAtOnceWithExitOne) {
  const LbhostRun unplugged =
      run({"--json", "--timeout", "3000", "liveview", "--seconds", "40"}, [this] {
        EXPECT_TRUE(stderrShows("live view:"));
        control("unplug 1");
      });
  EXPECT_EQ(unplugged.exitCode, 1u);
  const auto object = unplugged.json();
  EXPECT_EQ(object["error"]["kind"], "camera");
  EXPECT_TRUE(Has(object["error"]["message"].get<std::string>(), "unplugged"));
  EXPECT_LT(unplugged.seconds, 15.0);
  // Only --reconnect waits for the camera to come back.
  const LbhostRun watching = run({"--timeout", "3000", "watch"}, [this] {
    EXPECT_TRUE(stderrShows("watching for shots"));
    control("unplug 1");
  });
  EXPECT_TRUE(Ended(watching, 1, "unplugged"));
}

TEST_F(LbhostTest, JsonIsValidForAnyCameraNameAndUsesTheTextsNames) {
  scenario(
      "camera 1 name=D\xff"
      "850\n");
  const LbhostRun r = run({"--json", "list", "settings"});
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  const auto object = r.json();  // throws on invalid UTF-8
  EXPECT_EQ(object["steps"][0]["cameras"][0]["name"],
            "D\xEF\xBF\xBD"
            "850");
  const auto settings = object["steps"][1]["settings"];
  EXPECT_TRUE(settings["iso"]["choices"].is_array());
  EXPECT_EQ(settings["iso"]["choices"][0], "64");
  EXPECT_EQ(settings["aperture"]["value"], "f/4");
  EXPECT_TRUE(settings.contains("af"));
}

// Each shot takes about 0.6 s (RAW files over a slow link), over half the 1 s interval: a
// schedule counted from the end of the shot before would put the third start past 3 s, while
// one counted from the first start keeps each shot inside its own second, even on a machine
// slow enough to double the shots' time.
TEST_F(LbhostTest, TimelapseKeepsItsScheduleAndStackDrivesFocusBetweenShots) {
  scenario("camera 1 format=raw raw-bytes=6000000 habits=slow-link rate=10 name=D850\n");
  const LbhostRun r =
      run({"--json", "--out", path("out"), "timelapse", "--interval", "1", "--count", "3", "stack",
           "--shots", "3", "--step", "coarse", "af", "on", "af", "off"});
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  const auto steps = r.json()["steps"];
  const auto starts = steps[0]["start_ms"];
  ASSERT_EQ(starts.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_GE(starts[i].get<double>(), 1000.0 * i - 1) << "shot " << i << " came early";
    EXPECT_LT(starts[i].get<double>(), 1000.0 * (i + 1)) << "shot " << i << " drifted";
  }
  EXPECT_EQ(steps[1]["files"].size(), 3u);
  // The lens moves between the stack's shots and not before its first: one coarse step
  // (2000) toward far each time, the default direction.
  EXPECT_EQ(ReadFile(path("lens.log")), "1 3000 4\n1 5000 5\n")
      << "camera, lens position, shots taken before the move";
  EXPECT_EQ(steps[2]["af"], "On");
  EXPECT_EQ(steps[3]["af"], "Off");
  EXPECT_EQ(filesIn("out").size(), 6u);
}

// The process sends "error" for a picture that does not arrive; lbhost stops there, keeping what
// came: the first shot, and the other file of the shot that lost one. RAW files of several
// blocks, so a transfer that stops after its first block leaves a hole.
TEST_F(LbhostTest, APictureThatDoesNotArriveEndsTheRunKeepingTheRestOfItsShot) {
  scenario("camera 1 format=raw+jpeg raw-bytes=3000000 name=D850\n");
  const LbhostRun r = run({"--json", "--timeout", "20000", "--out", path("out"), "capture",
                           "--count", "2", "--interval", "4"},
                          [this] {
                            EXPECT_TRUE(filesArrive("out", ".jpg", 1));
                            control("fault transfer-lost");
                          });
  EXPECT_EQ(r.exitCode, 1u);
  const auto object = r.json();
  EXPECT_EQ(object["error"]["kind"], "camera");
  EXPECT_TRUE(Has(object["error"]["message"].get<std::string>(), "reported a problem"));
  EXPECT_EQ(object["steps"][0]["files"].size(), 3u);
  EXPECT_EQ(filesIn("out").size(), 3u);
  EXPECT_FALSE(object.contains("not_saved")) << object.dump();
  EXPECT_LT(r.seconds, 15.0);  // well inside the 20 s timeout
}

// --timeout bounds the time a download makes no progress, not its length: a RAW of 4 s on a
// slow link lands with a timeout of 1.5 s, the JPEG of its shot beside it.
TEST_F(LbhostTest, ADownloadIsWaitedForAsLongAsItMoves) {
  scenario("camera 1 format=raw+jpeg raw-bytes=8000000 habits=slow-link rate=2 name=D850\n");
  const LbhostRun r = run({"--timeout", "1500", "--out", path("out"), "capture"});
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  EXPECT_EQ(filesIn("out").size(), 2u);
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("waiting for the download of .*: [0-9.]+ of 7.6 MiB \\([0-9]+%\\)")))
      << r.err;
}

// The simulator's "shoot" control line takes a shot as the camera's own release button would.
TEST_F(LbhostTest, WatchDownloadsShotsTakenOnTheCamera) {
  const LbhostRun r = run({"--json", "--out", path("out"), "watch", "--count", "2"}, [this] {
    EXPECT_TRUE(stderrShows("watching for shots"));
    control("shoot 1");
    EXPECT_TRUE(filesArrive("out", ".jpg", 1));
    control("shoot 1");
  });
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  EXPECT_EQ(r.json()["steps"][0]["shots"], 2);
  EXPECT_EQ(filesIn("out").size(), 2u);
  for (const auto& name : filesIn("out"))
    EXPECT_EQ(name.rfind("DSC_", 0), 0u) << name << ": the camera's own name, by default";

  const LbhostRun quiet = run({"watch", "--seconds", "1"});
  EXPECT_EQ(quiet.exitCode, 0u) << quiet.err;
  EXPECT_TRUE(Has(quiet.out, "0 shot(s)"));
}

// Live view writes each frame as it comes: Ctrl+C keeps them all and is a done live view (0).
TEST_F(LbhostTest, CtrlCEndsLiveViewKeepingEveryFrameAndLetsADownloadLand) {
  const LbhostRun live =
      run({"--json", "--out", path("lv"), "liveview", "--seconds", "50"}, [this] {
        EXPECT_TRUE(stderrShows("live view:"));
        pressCtrlC();
      });
  EXPECT_EQ(live.exitCode, 0u) << live.err;
  EXPECT_LT(live.seconds, 30.0);
  const auto frames = live.json()["steps"][0]["frames"].get<std::size_t>();
  EXPECT_GT(frames, 10u);
  EXPECT_EQ(filesIn("lv").size(), frames);
  // A RAW file over a slow link (4 s, past the 1.5 s timeout): the first Ctrl+C comes during
  // its download, which lands whole in --out, and no further frame is shot.
  scenario("camera 1 format=raw raw-bytes=8000000 habits=slow-link rate=2 name=D850\n");
  const LbhostRun shots =
      run({"--timeout", "1500", "--out", path("out"), "capture", "--count", "3"}, [this] {
        EXPECT_TRUE(stderrShows("waiting for the download of"));
        pressCtrlC();
      });
  EXPECT_TRUE(Has(shots.err, "letting the download in progress land"));
  EXPECT_TRUE(Ended(shots, 130, "interrupted (Ctrl+C) before frame 2 of 3"));
  EXPECT_FALSE(Has(shots.err, "lensbridge.exe ended"));
  EXPECT_TRUE(Has(shots.out, "frame 1/3"));
  ASSERT_EQ(filesIn("out").size(), 1u);
  EXPECT_EQ(fs::file_size(m_dir / "out" / filesIn("out")[0]), 8000000u);
  for (const auto& name : filesIn(".")) EXPECT_FALSE(Has(name, ".part"));
}

TEST_F(LbhostTest, LiveViewStreamsItsFramesAsMjpegOnStdout) {
  const LbhostRun r = run({"liveview", "--seconds", "1", "--stdout"});
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  std::size_t starts = 0;
  for (std::size_t at = r.out.find("\xFF\xD8\xFF"); at != std::string::npos;
       at = r.out.find("\xFF\xD8\xFF", at + 1))
    ++starts;
  EXPECT_EQ(r.out.rfind("\xFF\xD8\xFF", 0), 0u) << "the stream starts with a frame, not text";
  EXPECT_TRUE(Has(r.err, "live view: " + std::to_string(starts) + " frames"));
  EXPECT_GT(starts, 3u);
}

// Numbering goes on from what an earlier session left in --out, in folders of the pattern.
TEST_F(LbhostTest, NumberingGoesOnInTheFolderAndPatternsMakeFolders) {
  // Twice without --counter, then --counter 40, then 1: a number given again takes a free name
  // beside the picture that has it.
  for (const std::string counter : {"", "", "40", "1"}) {
    std::vector<std::string> args = {"--out", path("out"), "--filename", "{date:%Y}/{camera}_%03n",
                                     "capture"};
    if (!counter.empty()) args.insert(args.end(), {"--counter", counter});
    ASSERT_EQ(run(args).exitCode, 0u) << "--counter " << counter;
  }
  const std::string year = filesIn("out").at(0);
  EXPECT_EQ(year.size(), 4u);
  EXPECT_EQ(filesIn("out\\" + year), (std::vector<std::string>{"D850_001-1.jpg", "D850_001.jpg",
                                                               "D850_002.jpg", "D850_040.jpg"}));
  EXPECT_TRUE(Ended(run({"capture", "--filename", "%n_%q"}), 2, "%q"));
}

TEST_F(LbhostTest, DeviceNamesIgnoreCaseAndASharedNameIsRefusedWithBothIds) {
  const LbhostRun lower = run({"--device", "d850", "get", "shutter"});
  EXPECT_EQ(lower.exitCode, 0u) << lower.err;
  EXPECT_EQ(lower.out, "1/250\r\n") << "the value alone";

  scenario("module Type0001\ncamera 1 name=D850\ncamera 2 name=D850\n");  // exactly two
  EXPECT_TRUE(Ended(run({"--device", "D850", "settings"}), 1, "give --device 257 and 258"));
}

TEST_F(LbhostTest, HooksGetGphotoActionsAndAFailingOneIsReportedWhileTheSessionGoesOn) {
  const LbhostRun r =
      run({"--out", path("out"), "--hook", "echo hook %ACTION%", "capture", "--count", "2"});
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  std::vector<std::string> actions;
  const std::regex hookLine("hook ([a-z]+)");
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), hookLine);
       it != std::sregex_iterator(); ++it)
    actions.push_back((*it)[1]);
  EXPECT_EQ(actions, (std::vector<std::string>{"init", "start", "download", "download", "stop"}))
      << r.out;
  EXPECT_TRUE(Has(r.out, "hook download \"" + path("out"))) << "the path is the last argument";

  EXPECT_TRUE(Ended(run({"--out", path("f"), "--hook", "exit 3", "capture", "--count", "2"}), 0,
                    "exit code 3; going on"));
  EXPECT_EQ(filesIn("f").size(), 2u);
  EXPECT_EQ(run({"--hook", "exit 3", "--hook-stops", "list"}).exitCode, 1u);
  // A hook past its time is ended with what it started: nothing writes "late" afterwards.
  std::ofstream(m_dir / "slow.cmd") << "@echo off\r\nif not \"%ACTION%\"==\"init\" exit /b 0\r\n"
                                       "start /b cmd /c \"ping -n 4 127.0.0.1 >nul & echo late>" +
                                           path("late.txt") + "\"\r\nping -n 6 127.0.0.1 >nul\r\n";
  const LbhostRun slow = run({"--json", "--hook", path("slow.cmd"), "--hook-timeout", "1", "list"});
  EXPECT_EQ(slow.exitCode, 0u) << slow.err;
  EXPECT_TRUE(Has(slow.json()["hook_failures"][0]["message"].get<std::string>(),
                  "did not end within 1.0 s"));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_FALSE(fs::exists(m_dir / "late.txt"));
}

TEST_F(LbhostTest, GetAndSendShowTheExchangeAndAnUnansweredRequestFails) {
  const LbhostRun get = run({"--json", "get", "iso"});
  ASSERT_EQ(get.exitCode, 0u) << get.err;
  EXPECT_EQ(get.json()["steps"][0]["value"], "100");

  const LbhostRun send = run({"send", "listDevices"});
  ASSERT_EQ(send.exitCode, 0u) << send.err;
  EXPECT_TRUE(Has(send.out, "-> #1 listDevices {}"));
  EXPECT_TRUE(Has(send.out, "<- #1 ok {devices = "));
  EXPECT_TRUE(Ended(run({"--timeout", "1000", "send", "setCameraFocus", "focus_direction=1"}), 1,
                    "no reply to \"setCameraFocus\""));
}

// A release that never completes ends the run with exit code 1 once --timeout and the
// exposure have passed: with a 4" exposure and --timeout 1000, after 5 s, not 1 and not a
// minute. The fault comes once the first frame is in, so it holds the second release.
TEST_F(LbhostTest, AHungReleaseEndsTheRunOnceItsExposureAndTimeoutHavePassed) {
  Clock::time_point faulted;
  const LbhostRun r = run(
      {"--timeout", "1000", "set", "shutter", "4\"", "capture", "--count", "2", "--interval", "1"},
      [&] {
        EXPECT_TRUE(filesArrive(".", ".jpg", 1));
        control("fault capture-hangs");
        faulted = Clock::now();
      });
  EXPECT_TRUE(Ended(r, 1, "did not finish the shot within 5000 ms"));
  EXPECT_TRUE(Has(r.err, "waiting for the camera to release")) << "no progress shown";
  const double waited = std::chrono::duration<double>(Clock::now() - faulted).count();
  EXPECT_GT(waited, 4.5);
  EXPECT_LT(waited, 20.0);
}

TEST_F(LbhostTest, StartUpErrorsSayWhatHappened) {
  const LbhostRun first = run({"--out", path("lv"), "liveview", "--seconds", "50"}, [this] {
    EXPECT_TRUE(stderrShows("live view:"));
    const LbhostRun second = run({"list"}, {}, "second-");
    EXPECT_TRUE(Ended(second, 1, "lensbridge is already running (its pipes are taken)"));
    EXPECT_LT(second.seconds, 5.0);
    pressCtrlC();
  });
  EXPECT_EQ(first.exitCode, 0u) << first.err;
  EXPECT_TRUE(Ended(run({"--timeout", "1", "list"}), 1,
                    "lensbridge.exe did not open its pipes within 1 ms"));
}

// The cable pulled in the middle of a transfer, the likeliest moment: the lost file is told and
// watching goes on once the camera is back.
TEST_F(LbhostTest, WatchReconnectsACameraUnpluggedMidTransferAndGoesOn) {
  scenario("camera 1 format=raw raw-bytes=8000000 habits=slow-link rate=2 name=D850\n");
  const LbhostRun r =
      run({"--json", "--out", path("out"), "watch", "--count", "2", "--reconnect"}, [this] {
        EXPECT_TRUE(stderrShows("watching for shots"));
        control("shoot 1");
        EXPECT_TRUE(stderrShows("waiting for the download of"));
        control("unplug 1");
        EXPECT_TRUE(stderrShows("waiting for it to come back"));
        control("plug 1");
        EXPECT_TRUE(stderrShows("is back"));
        control("shoot 1");
      });
  ASSERT_EQ(r.exitCode, 0u) << r.err;
  const auto step = r.json()["steps"][0];
  EXPECT_EQ(step["shots"], 2);
  EXPECT_EQ(step["reconnects"], 1);
  ASSERT_EQ(step["lost"].size(), 1u) << step.dump();
  EXPECT_EQ(step["lost"][0]["file_names"].size(), 1u);
  EXPECT_EQ(filesIn("out").size(), 1u);
  // Both modules read the control lines; neither reports one the other carried out.
  EXPECT_FALSE(Has(r.err, "bad control line"));
}

TEST_F(LbhostTest, VersionMatchesTheExesVersionBlock) {
  const LbhostRun r = run({"--version"});
  EXPECT_EQ(r.exitCode, 0u);
  const std::wstring exe = platform::utf8ToWide(BuiltProgram("lbhost.exe"));
  DWORD ignored = 0;
  std::vector<char> block(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
  wchar_t* version = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductVersion",
                             reinterpret_cast<void**>(&version), &length));
  EXPECT_EQ(r.out.rfind("lbhost " + platform::wideToUtf8(version) + " (build ", 0), 0u) << r.out;
}

// A listening socket on a loopback port the system chose, closed when the test ends.
class CHeldPort {
 public:
  CHeldPort() {
    WSADATA data;
    m_started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (m_socket != INVALID_SOCKET &&
        bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        listen(m_socket, 1) == 0 &&
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      m_port = ntohs(address.sin_port);
  }
  ~CHeldPort() {
    if (m_socket != INVALID_SOCKET) closesocket(m_socket);
    if (m_started) WSACleanup();
  }
  CHeldPort(const CHeldPort&) = delete;
  CHeldPort& operator=(const CHeldPort&) = delete;
  // 0 when no port could be held.
  unsigned short port() const { return m_port; }

 private:
  bool m_started = false;
  SOCKET m_socket = INVALID_SOCKET;
  unsigned short m_port = 0;
};

// serve prints its address only once it can serve: a port another program holds, or a
// lensbridge.exe that is not there, ends it at once with the reason and no address to open.
TEST_F(LbhostTest, ServeThatCannotServeSaysWhyAndPrintsNoAddress) {
  const CHeldPort held;
  ASSERT_NE(held.port(), 0);
  const std::string listen = "127.0.0.1:" + std::to_string(held.port());
  const LbhostRun taken = run({"serve", "--listen", listen});
  EXPECT_TRUE(Ended(taken, 1, "another program, perhaps another lbhost serve, has the port"));
  EXPECT_FALSE(Has(taken.out, "http://"));

  const LbhostRun missing = run({"--exe", path("nothing.exe"), "serve", "--listen", "127.0.0.1:1"});
  EXPECT_TRUE(Ended(missing, 1, "there is no"));
  EXPECT_FALSE(Has(missing.out, "http://")) << "no address that leads nowhere";
}

// Run only by "E2E.LbhostMoveOntoAFullDisk", which mounts a 100 kB folder and names it in
// LB_SMALL_DISK: a picture moved into an --out folder there does not fit. Nothing cut off
// stays there, under its name or as ".part", and the picture stays where it was, as the
// message says.
TEST_F(LbhostTest, AMoveOntoAFullDiskIsWholeOrNothing) {
  const char* small = std::getenv("LB_SMALL_DISK");
  if (!small) GTEST_SKIP() << "needs the 100 kB folder of E2E.LbhostMoveOntoAFullDisk";
  std::string out = std::string("Z:") + small + "/out";
  std::replace(out.begin(), out.end(), '/', '\\');
  const LbhostRun r = run({"--out", out, "capture"});
  EXPECT_EQ(r.exitCode, 1u) << r.err;
  const std::string stays = "the picture stays at ";
  const std::size_t at = r.err.find(stays);
  ASSERT_NE(at, std::string::npos) << r.err;
  std::string where = r.err.substr(at + stays.size());
  where = where.substr(0, where.find_first_of("\r\n"));
  EXPECT_EQ(ReadFile(where).size(), 209399u) << "the whole picture, at " << where;
  EXPECT_TRUE(std::filesystem::is_empty(std::filesystem::u8path(out)))
      << "nothing cut off in --out";
}

}  // namespace
