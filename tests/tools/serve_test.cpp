// lbhost serve's portable part: who may ask for what, the commands a page sends, and what a
// slow page is given.
#include <gtest/gtest.h>

#include <string>

#include "tools/serve_access.h"
#include "tools/serve_hub.h"

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kHost = "127.0.0.1:5513";

ServeDecision Ask(const CServeAccess& access, const std::string& method, const std::string& path,
                  const std::string& host = kHost, const std::string& origin = "") {
    return access.decide({method, path, host, origin});
}

TEST(ServeAccess, ServesItsOwnPagesAtTheTokenAddressOnly) {
    const CServeAccess access("127.0.0.1", 5513, kToken);
    EXPECT_EQ(access.pageAddress("127.0.0.1"), "http://127.0.0.1:5513/" + kToken + "/");
    const struct { const char* path; ServeRoute route; const char* argument; } kServed[] = {
        {"/", ServeRoute::Page, ""}, {"", ServeRoute::AddSlash, ""}, {"/page.js?v=2", ServeRoute::Script, ""},
        {"/live.mjpg", ServeRoute::Live, ""}, {"/events", ServeRoute::Events, ""},
        {"/picture/12", ServeRoute::Picture, "12"},
    };
    for (const auto& c : kServed) {
        const ServeDecision d = Ask(access, "GET", "/" + kToken + c.path, "localhost:5513");
        EXPECT_EQ(d.status, 200) << c.path << ": " << d.reason;
        EXPECT_EQ(d.route, c.route) << c.path;
        EXPECT_EQ(d.argument, c.argument) << c.path;
    }
    const ServeDecision command = Ask(access, "POST", "/" + kToken + "/do/capture", kHost, "http://" + kHost);
    EXPECT_EQ(command.status, 200) << command.reason;
    EXPECT_EQ(command.argument, "capture");
}

TEST(ServeAccess, RefusesRequestsFromElsewhereOrWithoutTheToken) {
    const CServeAccess access("127.0.0.1", 5513, kToken);
    const std::string page = "/" + kToken + "/";
    const struct { const char* method; std::string path; std::string host; std::string origin; int status; } kRefused[] = {
        {"GET", "/", kHost, "", 403}, {"GET", "/" + kToken.substr(1) + "x/", kHost, "", 403},
        {"GET", "/" + kToken + "x/", kHost, "", 403},
        // DNS rebinding: a name of the attacker's that now points at 127.0.0.1.
        {"GET", page, "evil.example:5513", "", 421}, {"GET", page, "", "", 421},
        {"GET", page, "127.0.0.1:80", "", 421}, {"GET", page, "10.0.0.2:5513", "", 421},
        // A cross-site form or fetch, even one that knows the token.
        {"POST", page + "do/capture", kHost, "http://evil.example", 403},
        {"POST", page + "do/capture", kHost, "", 403}, {"GET", page + "do/capture", kHost, "", 405},
        {"POST", page + "live.mjpg", kHost, "http://" + kHost, 405},
        {"GET", page + "events", kHost, "null", 403},
        // Nothing from the request reaches the file system.
        {"GET", page + "picture/../../Windows/win.ini", kHost, "", 404},
        {"GET", page + "picture/C:%5Cboot.ini", kHost, "", 404},
        {"GET", page + "..%2F..%2Fsecret", kHost, "", 404},
    };
    for (const auto& c : kRefused) {
        const ServeDecision d = Ask(access, c.method, c.path, c.host, c.origin);
        EXPECT_EQ(d.status, c.status) << c.method << " " << c.path << " Host " << c.host << " Origin " << c.origin;
        EXPECT_FALSE(d.reason.empty());
    }
    // On every address, any address literal of the machine is the server's own; names are not.
    const CServeAccess everywhere("0.0.0.0", 8080, kToken);
    EXPECT_EQ(Ask(everywhere, "GET", page, "192.168.1.20:8080").status, 200);
    EXPECT_EQ(Ask(everywhere, "GET", page, "studio.local:8080").status, 421);
}

TEST(ServeAccess, ListenAddressesAndTokens) {
    std::string host, error;
    unsigned short port = 0;
    EXPECT_TRUE(ParseListenAddress("0.0.0.0:8080", &host, &port, &error));
    EXPECT_EQ(host, "0.0.0.0");
    EXPECT_EQ(port, 8080);
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "256.0.0.1:80", "1.2.3:80", "::1:80", "a:80",
                            "1.2.3.4.5:80", "127.0.0.1:8o"})
        EXPECT_FALSE(ParseListenAddress(bad, &host, &port, &error)) << bad;
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(ServeTokenText(bytes, 4), "000fa5ff");
    EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
    EXPECT_FALSE(IsLoopbackAddress("0.0.0.0"));
}

TEST(ServeCommands, TakesOnlyWellFormedCommands) {
    ServeCommand command;
    std::string error;
    ASSERT_TRUE(ParseServeCommand("set", R"({"setting":"aperture","index":4})", &command, &error)) << error;
    EXPECT_EQ(command.setting, "aperture");
    EXPECT_EQ(command.index, 4);
    ASSERT_TRUE(ParseServeCommand("stack", R"({"direction":-2,"count":5})", &command, &error)) << error;
    EXPECT_EQ(command.direction, -2);
    EXPECT_EQ(command.count, 5);
    ASSERT_TRUE(ParseServeCommand("timelapse", R"({"interval":0.5,"count":3})", &command, &error)) << error;
    EXPECT_EQ(command.interval, 0.5);
    EXPECT_TRUE(ParseServeCommand("capture", "", &command, &error)) << error;
    const std::pair<const char*, const char*> kBad[] = {
        {"set", R"({"setting":"focus","index":1})"}, {"set", R"({"setting":"iso","index":-1})"},
        {"set", R"({"setting":"iso","index":"3"})"}, {"focus", R"({"direction":0})"},
        {"focus", R"({"direction":4})"}, {"stack", R"({"direction":1,"count":0})"},
        {"timelapse", R"({"interval":0,"count":2})"}, {"af", R"({"on":1})"}, {"capture", "[1,2]"},
        {"capture", "{not json"}, {"format", "{}"},
    };
    for (const auto& [action, body] : kBad) {
        error.clear();
        EXPECT_FALSE(ParseServeCommand(action, body, &command, &error)) << action << " " << body;
        EXPECT_FALSE(error.empty());
    }
}

TEST(ServeHub, SlowClientsSkipFramesAndStartAgainWhenTooFarBehind) {
    int wakes = 0;
    CServeHub hub([&] { ++wakes; });
    std::uint64_t seen = 0;
    EXPECT_EQ(hub.frameAfter(&seen), nullptr);
    for (const char* bytes : {"one", "two", "three"}) hub.setFrame(bytes);
    auto frame = hub.frameAfter(&seen);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(*frame, "three") << "a client that was busy gets the newest frame, not the backlog";
    EXPECT_EQ(hub.frameAfter(&seen), nullptr);

    std::uint64_t next = 0;
    hub.publish("camera", {{"present", true}});
    const std::string state = hub.snapshot(&next);
    EXPECT_NE(state.find("event: state\ndata: {\"camera\":{\"present\":true},\"pictures\":[]}"), std::string::npos)
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
    EXPECT_FALSE(hub.eventsSince(&next, &events)) << "a client that fell behind starts again from the state";
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
    ServeCommand capture, stop;
    capture.action = "capture";
    stop.action = "stop";
    std::string refusal;
    EXPECT_FALSE(hub.submit(capture, &refusal));
    hub.setAvailability(true, "");
    EXPECT_FALSE(hub.submit(stop, &refusal)) << "nothing runs";
    for (std::size_t i = 0; i < CServeHub::kCommandsWaiting; ++i) EXPECT_TRUE(hub.submit(capture, &refusal)) << refusal;
    EXPECT_FALSE(hub.submit(capture, &refusal));
    EXPECT_NE(refusal.find("too many"), std::string::npos);
    hub.setBusy("the focus stack");
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
