// lbhost serve's portable part: who may ask for what, the commands a page sends, and what a
// slow page is given.
#include <gtest/gtest.h>

#include <string>

#include "lbhost/serve/serve_access.h"
#include "lbhost/serve/serve_hub.h"

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kHost = "127.0.0.1:5513";
const CServeAccess kAccess("127.0.0.1", 5513, kToken);

ServeDecision Ask(const CServeAccess& access, const std::string& method, const std::string& path,
                  const std::string& host = kHost, const std::string& origin = "") {
  return access.decide({method, path, host, origin});
}

TEST(ServeAccess, ServesItsOwnPagesAtTheTokenAddressOnly) {
  EXPECT_EQ(kAccess.pageAddress("127.0.0.1"), "http://127.0.0.1:5513/" + kToken + "/");
  const struct {
    const char* path;
    ServeRoute route;
    const char* argument;
  } kServed[] = {
      {"/", ServeRoute::Page, ""},
      {"", ServeRoute::AddSlash, ""},
      {"/page.js?v=2", ServeRoute::Script, ""},
      {"/live.mjpg", ServeRoute::Live, ""},
      {"/events", ServeRoute::Events, ""},
      {"/picture/12", ServeRoute::Picture, "12"},
  };
  for (const auto& c : kServed) {
    const ServeDecision d = Ask(kAccess, "GET", "/" + kToken + c.path, "localhost:5513");
    EXPECT_EQ(d.status, 200) << c.path << ": " << d.reason;
    EXPECT_EQ(d.route, c.route) << c.path;
    EXPECT_EQ(d.argument, c.argument) << c.path;
  }
  const ServeDecision command =
      Ask(kAccess, "POST", "/" + kToken + "/do/capture", kHost, "http://" + kHost);
  EXPECT_EQ(command.status, 200) << command.reason;
  EXPECT_EQ(command.argument, "capture");
}

// A refusal's page escapes what the request said.
TEST(ServeAccess, RefusesRequestsFromElsewhereOrWithoutTheToken) {
  const std::string page = "/" + kToken + "/";
  const struct {
    const char* method;
    std::string path;
    std::string host;
    std::string origin;
    int status;
  } kRefused[] = {
      {"GET", "/", kHost, "", 403},
      {"GET", "/" + kToken + "x/", kHost, "", 403},
      {"GET", "/" + kToken.substr(0, 31) + "x/", kHost, "", 403},
      // DNS rebinding: a name of the attacker's that now points at 127.0.0.1.
      {"GET", page, "evil.example:5513", "", 421},
      {"GET", page, "127.0.0.1:80", "", 421},
      {"GET", page, "10.0.0.2:5513", "", 421},
      // A cross-site form or fetch, even one that knows the token.
      {"POST", page + "do/capture", kHost, "http://evil.example", 403},
      {"POST", page + "do/capture", kHost, "http://" + kHost + "0", 403},
      {"POST", page + "do/capture", kHost, "", 403},
      {"GET", page + "do/capture", kHost, "", 405},
      {"GET", page + "events", kHost, "null", 403},
      // Nothing from the request reaches the file system.
      {"GET", page + "picture/../../Windows/win.ini", kHost, "", 404},
      {"GET", page + "..%2F..%2Fsecret", kHost, "", 404},
  };
  for (const auto& c : kRefused) {
    const ServeDecision d = Ask(kAccess, c.method, c.path, c.host, c.origin);
    EXPECT_EQ(d.status, c.status) << c.method << " " << c.path << " Host " << c.host << " Origin "
                                  << c.origin;
    EXPECT_FALSE(d.reason.empty());
  }
  ServeRequest twoHosts{"GET", page, kHost, "", 2};
  EXPECT_EQ(kAccess.decide(twoHosts).status, 400) << "a second Host header";
  EXPECT_EQ(Ask(kAccess, "GET", "/favicon.ico").status, 404)
      << "the browser's own request, without the token";
  // On every address, any address literal of the machine is the server's own, and so is the
  // machine's own name; other names are not. On one address, only that one is.
  for (const char* listen : {"0.0.0.0", "::"}) {
    const CServeAccess everywhere(listen, 8080, kToken, "StudioPC");
    for (const char* host : {"192.168.1.20:8080", "[fe80::1c2:3]:8080", "studiopc.local:8080",
                             "STUDIOPC:8080", "localhost:8080"})
      EXPECT_EQ(Ask(everywhere, "GET", page, host).status, 200) << listen << " " << host;
    for (const char* host :
         {"studio.local:8080", "studiopc.evil.example:8080", "[fe80::1]", "[evil.example]:8080"})
      EXPECT_EQ(Ask(everywhere, "GET", page, host).status, 421) << listen << " " << host;
  }
  const CServeAccess lan("192.168.1.20", 8080, kToken, "studiopc");
  for (const char* host : {"localhost:8080", "studiopc:8080", "192.168.1.21:8080"})
    EXPECT_EQ(Ask(lan, "GET", page, host).status, 421) << host;
  const ServeDecision d = Ask(kAccess, "GET", "/", "<script>x</script>");
  const std::string refusal = ServeProblemPage(d.status, "Misdirected Request", d.reason);
  EXPECT_NE(refusal.find("&lt;script&gt;x&lt;/script&gt;"), std::string::npos) << refusal;
  EXPECT_EQ(refusal.find("<script>"), std::string::npos) << refusal;
}

TEST(ServeAdmission, OneAddressCannotTakeEveryPlace) {
  using Verdict = CServeAdmission::Verdict;
  CServeAdmission admission(4, 2);
  EXPECT_EQ(admission.admit("10.0.0.9"), Verdict::Serve);
  EXPECT_EQ(admission.admit("10.0.0.9"), Verdict::Serve);
  EXPECT_EQ(admission.admit("10.0.0.9"), Verdict::AddressFull);
  EXPECT_EQ(admission.admit("10.0.0.2"), Verdict::Serve) << "another client still gets in";
  admission.release("10.0.0.9", Verdict::Serve);
  EXPECT_EQ(admission.admit("10.0.0.9"), Verdict::Serve) << "a place given back is taken again";
  EXPECT_EQ(admission.admit("10.0.0.3"), Verdict::Serve);
  // Refusals are bounded apart from the places served: past as many again, a connection is dropped.
  for (int refused = 1; refused < 4; ++refused)
    EXPECT_EQ(admission.admit("10.0.0.4"), Verdict::Full);
  EXPECT_EQ(admission.admit("10.0.0.4"), Verdict::Drop);
  admission.release("10.0.0.3", Verdict::Serve);
  EXPECT_EQ(admission.admit("10.0.0.4"), Verdict::Serve)
      << "refusals take no place of a served connection";
}

TEST(ServeAccess, ListenAddressesAndTokens) {
  std::string host, error;
  unsigned short port = 0;
  EXPECT_TRUE(ParseListenAddress("0.0.0.0:8080", &host, &port, &error));
  EXPECT_EQ(host, "0.0.0.0");
  EXPECT_EQ(port, 8080);
  EXPECT_TRUE(ParseListenAddress("[::]:8080", &host, &port, &error));
  EXPECT_EQ(host, "::");
  for (const char* bad : {"127.0.0.1:", "127.0.0.1:0", "256.0.0.1:80", "1.2.3:80", "::1:80",
                          "1.2.3.4.5:80", "127.0.0.1:8o"})
    EXPECT_FALSE(ParseListenAddress(bad, &host, &port, &error)) << bad;
  const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  EXPECT_EQ(ServeTokenText(bytes, 4), "000fa5ff");
}

// The page sends a step in the command line's words, read by the same parser (whose bounds
// command_line_test checks): one step of those the page may use, without the run's options.
TEST(ServeCommands, TakesOneOfThePagesStepsInTheCommandLinesWords) {
  Result<Step> stack = ParsePageCommand(
      "stack", R"({"words":["--shots","5","--step","medium","--direction","far"]})");
  ASSERT_TRUE(stack) << stack.failure().message;
  EXPECT_EQ(stack->focusDirection, -2);
  EXPECT_EQ(stack->count, 5);
  EXPECT_EQ(ParsePageCommand("set", R"({"words":["iso","--index","3"]})")->index, 3);
  EXPECT_TRUE(ParsePageCommand("live", R"({"words":["on"]})")->on);
  EXPECT_EQ(ParsePageCommand("stop", "")->kind, StepKind::Stop);
  const std::pair<const char*, const char*> kBad[] = {
      {"set", R"({"words":["iso","--index",3]})"},
      {"capture", R"({"words":["--hook","calc.exe"]})"},
      {"capture", R"({"words":["capture"]})"},
      {"list", "{}"},
      {"capture", "[1,2]"},
      {"capture", "{not json"},
  };
  for (const auto& [step, body] : kBad) {
    const Result<Step> parsed = ParsePageCommand(step, body);
    ASSERT_FALSE(parsed) << step << " " << body;
    EXPECT_EQ(parsed.failure().kind, ErrorKind::Usage);
  }
  EXPECT_NE(ParsePageCommand("captur", "{}").failure().message.find("did you mean capture?"),
            std::string::npos);
}

TEST(ServeHub, SlowClientsSkipFramesAndStartAgainWhenTooFarBehind) {
  int wakes = 0;
  CServeHub hub([&] { ++wakes; });
  CServeHub::FrameCursor cursor;
  // A client that was busy gets each camera's newest frame, not the backlog, and the cameras of
  // a rig take turns: one that sends many frames does not crowd out another.
  auto nextFrame = [&] {
    const CServeHub::Frame frame = hub.nextFrame(&cursor);
    return frame.jpeg ? std::to_string(frame.device) + " " + *frame.jpeg : std::string("none");
  };
  EXPECT_EQ(nextFrame(), "none");
  for (const char* bytes : {"a1", "a2", "a3"}) hub.setFrame(bytes, 257);
  hub.setFrame("b1", 513);
  hub.setFrame("a4", 257);
  EXPECT_EQ(nextFrame(), "257 a4");
  hub.setFrame("a5", 257);
  EXPECT_EQ(nextFrame(), "513 b1");
  EXPECT_EQ(nextFrame(), "257 a5");
  hub.setFrame("b2", 513);
  hub.setFrame("a6", 257);
  EXPECT_EQ(nextFrame(), "513 b2");
  EXPECT_EQ(nextFrame(), "257 a6");
  EXPECT_EQ(nextFrame(), "none");

  std::uint64_t next = 0;
  hub.publish("camera", {{"present", true}});
  const std::string state = hub.snapshot(&next);
  EXPECT_NE(state.find("event: state\ndata: {\"camera\":{\"present\":true},\"pictures\":[]}"),
            std::string::npos)
      << state;
  hub.publish("liveview", {{"on", true}});
  std::string events;
  ASSERT_TRUE(hub.eventsSince(&next, &events));
  EXPECT_EQ(events, "event: liveview\ndata: {\"on\":true}\n\n");
  // As many events as are kept: a client that saw none of them still gets them all.
  for (std::size_t i = 0; i < CServeHub::kEventsKept; ++i) hub.notice("busy");
  ASSERT_TRUE(hub.eventsSince(&next, &events));
  for (std::size_t i = 0; i <= CServeHub::kEventsKept; ++i) hub.notice("busy");
  events.clear();
  EXPECT_FALSE(hub.eventsSince(&next, &events))
      << "a client that fell behind starts again from the state";
  EXPECT_GE(wakes, 4);
}

TEST(ServeHub, PicturesAreServedByNumberOnlyOnceCompleteAndJpeg) {
  CServeHub hub;
  const int jpeg = hub.addPicture(7, "DSC_0001.JPG", 1000);
  const int raw = hub.addPicture(7, "Capture0001.nef", 5000);
  EXPECT_EQ(hub.pendingPicture(7, "DSC_0001.JPG"), jpeg);
  EXPECT_FALSE(hub.picturePath(jpeg)) << "not while it downloads";
  hub.updatePicture(jpeg, "complete", "C:\\out\\DSC_0001.JPG");
  hub.updatePicture(raw, "complete", "C:\\out\\DSC_0001.NEF");
  EXPECT_EQ(hub.picturePath(jpeg).value_or(""), "C:\\out\\DSC_0001.JPG");
  EXPECT_FALSE(hub.picturePath(raw)) << "a RAW is shown by name and size";
  EXPECT_FALSE(hub.picturePath(99));
  const int lost = hub.addPicture(8, "DSC_0002.JPG", 1000);
  hub.failPending("the camera was unplugged");
  EXPECT_FALSE(hub.picturePath(lost));
  std::uint64_t next = 0;
  const std::string state = hub.snapshot(&next);
  EXPECT_NE(state.find("\"error\":\"the camera was unplugged\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"url\":\"picture/1\""), std::string::npos) << state;
  EXPECT_NE(state.find("\"name\":\"DSC_0001.NEF\""), std::string::npos) << state;
  EXPECT_EQ(state.find("C:\\\\out"), std::string::npos) << "paths stay on the server";
}

TEST(ServeHub, RefusesCommandsWhileTheCameraIsAbsentOrBusy) {
  CServeHub hub;
  Step capture, stop;
  stop.kind = StepKind::Stop;
  std::string refusal;
  EXPECT_FALSE(hub.submit(capture, &refusal));
  hub.setAvailability(true, "");
  EXPECT_FALSE(hub.submit(stop, &refusal)) << "nothing runs";
  for (std::size_t i = 0; i < CServeHub::kCommandsWaiting; ++i)
    EXPECT_TRUE(hub.submit(capture, &refusal)) << refusal;
  EXPECT_FALSE(hub.submit(capture, &refusal));
  EXPECT_NE(refusal.find("too many"), std::string::npos);
  hub.setBusy("the focus stack");
  EXPECT_FALSE(hub.submit(capture, &refusal));
  EXPECT_EQ(refusal, "the camera is busy with the focus stack; stop it first");
  EXPECT_TRUE(hub.submit(stop, &refusal));
  EXPECT_TRUE(hub.stopFlag());
  hub.setBusy("");
  EXPECT_FALSE(hub.stopFlag()) << "a stop that came as a job ended would stop the next one";
  hub.setAvailability(false, "the camera was unplugged");
  EXPECT_FALSE(hub.takeCommand()) << "commands for a camera that went are dropped";
  EXPECT_FALSE(hub.submit(capture, &refusal));
  EXPECT_EQ(refusal, "the camera was unplugged");
}

}  // namespace
