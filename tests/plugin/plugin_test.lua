-- The plug-in scripts as the host runs them, against a fake of the host's scripting SDK.
-- Runs on the chunks taken out of the built exe: lua5.1 plugin_test.lua CHUNK-DIR
-- With a recorded session as well (lua5.1 plugin_test.lua CHUNK-DIR RECORDING), it replays
-- that session through the scripts instead.
local chunkDir = assert(arg[1], "usage: lua5.1 plugin_test.lua CHUNK-DIR [RECORDING]")
local recordingPath = arg[2]

-- A value as text, table keys sorted: two values are the same when their texts are.
local function show(value)
	if type(value) == "string" then return string.format("%q", value) end
	if type(value) ~= "table" then return tostring(value) end
	local keys, parts = {}, {}
	for key in pairs(value) do keys[#keys + 1] = key end
	table.sort(keys, function(a, b) return show(a) < show(b) end)
	for _, key in ipairs(keys) do parts[#parts + 1] = "[" .. show(key) .. "]=" .. show(value[key]) end
	return "{" .. table.concat(parts, ", ") .. "}"
end
local function same(actual, expected, what)
	if show(actual) ~= show(expected) then
		error(what .. "\n  expected " .. show(expected) .. "\n  got      " .. show(actual), 2)
	end
end

-- The fake SDK. Everything the scripts do to the host is recorded in sdk: the messages sent to
-- the process as { name, params } (each on the connection the last launch made), the host's
-- callback as { message, params }, the last log line, and the callback of the last message
-- sent as sdk.reply.
local sdk
local function logAt(level) return function(_, text) sdk.log = level .. ": " .. tostring(text) end end
local fakes = {
	HxLogger = function() return { trace = logAt "trace", info = logAt "info", error = logAt "error",
		tracef = function(self, format, ...) self:trace(string.format(format, ...)) end } end,
	HxPathUtils = { extension = function(path) return path:match("%.([^./\\]+)$") end },
	HxFileUtils = {},
	HxTableUtils = { debugDumpTable = function() end },
	HxRemoteCommunication = {
		spawnTaskAndConnect = function(name, path, connected, ended)
			sdk.spawns[#sdk.spawns + 1] = { name = name, path = path, connected = connected, ended = ended }
		end,
		sendMessageToServer = function(connection, name, params, callback)
			same(connection, sdk.connection, name .. " connection")
			sdk.sent[#sdk.sent + 1], sdk.reply = { name, params }, callback
		end,
		pollForMessage = function(connection)
			sdk.polled = connection
			return unpack(table.remove(sdk.inbox, 1) or {})
		end,
		closeNamedConnection = function(c, name) sdk.closed[#sdk.closed + 1] = { c, name } end,
	},
}
for name, fake in pairs(fakes) do package.preload[name] = function() return fake end end
LOC = function(key) return (key:gsub("^.-=", "")) end

-- The chunks, checked and installed as the modules the scripts require; each resource is
-- named after its module in capitals.
local chunks = { "INFO", "LensBridgeServiceProvider", "LensBridgeTask", "LensBridgeUtils" }
local loaded = {}
for _, module in ipairs(chunks) do
	local resource = module:upper() .. ".LUA"
	local bytes = assert(io.open(chunkDir .. "/" .. resource, "rb"), resource .. " is missing"):read("*a")
	loaded[module] = { bytes = bytes, chunk = assert(loadstring(bytes, "=" .. resource)) }
	package.preload[module] = loaded[module].chunk
end

local task
local function fresh()
	sdk = { spawns = {}, sent = {}, inbox = {}, closed = {}, host = {} }
	for _, module in ipairs(chunks) do package.loaded[module] = nil end
	task = require "LensBridgeTask"
	task.setCallback(nil, function(message, params) sdk.host[#sdk.host + 1] = { message, params } end)
end
-- The last launch connects (or fails to, given nil).
local function connect(c) sdk.connection = c; sdk.spawns[#sdk.spawns].connected(c) end
local function notify(message, params) task.tetherCallback(nil, message, params) end
-- What was sent to the process, or told the host, since the last look.
local function expectSent(expected, what) same(sdk.sent, expected, what); sdk.sent = {} end
local function expectHost(expected, what) same(sdk.host, expected, what); sdk.host = {} end

local function devices() return { { device_id = 257, name = "D850" }, { device_id = 5889, name = "Z 7" } } end
-- A task launched, connected and holding the device list of the reply to "listDevices".
local function connectedTask()
	fresh()
	task.init({}, "C:/plugins/lensbridge", nil)
	connect("connection-1")
	task.queryDevices()
	sdk.reply("ok", { devices = devices() })
	sdk.sent, sdk.host = {}, {}
end
local function toggle(result)
	task.toggleLiveView(nil, 257, 1, 480, 640, 0, 0, "Live")
	sdk.reply(result)
	sdk.sent = {}
end

local tests = {}

tests["the chunks, the plug-in information and the provider's functions"] = function()
	for module, entry in pairs(loaded) do
		-- Lua 5.1, stripped: the main function names no source (its source string is empty).
		same(entry.bytes:sub(1, 20), "\27Lua\81\0\1\4\8\4\8\0" .. string.rep("\0", 8), module .. " header")
	end
	-- The host compares VERSION fields as numbers; a text there is not a version it can read.
	local info = loaded.INFO.chunk()
	for k, v in pairs(info.VERSION) do info.VERSION[k] = k == "revision" and v or type(v) end
	same(info, { HxSdkVersion = 3, HxSdkMinimumVersion = 3, HxPluginName = "Nikon Tether Plugin",
		HxToolkitIdentifier = "com.lensbridge.tether.nikon",
		VERSION = { major = "number", minor = "number", revision = 0, build = "number" },
		HxCameraTetherServiceProvider = { title = "Nikon Tether Plugin",
			file = "LensBridgeServiceProvider.lua", enableHeartBeatChecks = true } }, "INFO")

	-- The provider hands the host the task's own functions, all of them and nothing else.
	fresh()
	local expected = {}
	for name in ("closeLiveViewWindow connectDevice disconnectDevice doAutoFocus doCapture " ..
		"enableLogging getCameraSettings hideLiveViewWindow init isLiveViewOn pollForMessages " ..
		"queryDevices setCallback setCameraFocus setCameraSettings setManualFocusTimeGap " ..
		"showLiveViewWindow shutdown startDownload toggleLiveView"):gmatch("%S+") do
		expected[name] = assert(task[name], name)
	end
	same(require "LensBridgeServiceProvider", expected, "provider")
end

tests["launch, the device list, relaunch when the process ends, and a second init"] = function()
	fresh()
	local results = {}
	task.init({}, "C:/p", function(ok) results[#results + 1] = ok end)
	same({ sdk.spawns[1].name, sdk.spawns[1].path }, { "lensbridge", "C:/p/lensbridge.exe" }, "spawn")
	-- Before the first device list there is nothing to change or to tell.
	notify("deviceAdded", { device_id = 257, name = "D850" })
	notify("deviceRemoved", { device_id = 257 })
	same({ task.isProcessAlive(), task.queryDevices() }, { false }, "before connecting")
	connect("connection-1")
	local notReady = { status = "notReady" }
	same({ task.isProcessAlive(), task.queryDevices(), task.queryDevices() }, { true, notReady, notReady },
		"before the reply")
	expectSent({ { "listDevices", {} } }, "listDevices sent once")
	sdk.reply("ok", { devices = devices() })
	same(task.queryDevices(), { status = "ok", devices = { { id = 257, name = "D850" },
		{ id = 5889, name = "Z 7" } } }, "answer")
	expectHost({ { "availableDevicesChanged" } }, "told of the list")

	task.liveViewOn = true
	sdk.spawns[1].ended()
	assert(not task.isProcessAlive() and not task.liveViewOn and sdk.spawns[2], "alive, or not relaunched")
	task.shutdown()
	sdk.spawns[2].connected(nil)
	same(results, { true, false }, "launch results")
	task.shutdown()
	same(sdk.closed, { { "connection-1", "lensbridge" } }, "closed, and nothing without a connection")

	-- A second init starts afresh: live view off and a new device list on the new connection.
	connectedTask()
	toggle("ok")
	task.init({}, "C:/plugins/lensbridge", nil)
	task.showLiveViewWindow(nil, 257)
	connect("connection-2")
	same(task.queryDevices(), notReady, "the new list is not there yet")
	expectSent({ { "listDevices", {} } }, "live view off, the list asked again")
end

-- Notifications as the process sends them, polled one at a time from the connection, each with
-- what the host is told of it (when not given: the notification as it came).
tests["notifications reach the host in its terms"] = function()
	connectedTask()
	local changed, nef, file7 = "availableDevicesChanged", { capture_id = 1, file_name = "C1.nef" },
		{ capture_id = 7, file_path = "C:\\T\\C7.jpg", file_download_time = 12 }
	-- Captures need a connected device (999 is none): dropped, with the error line.
	task.connectDevice(nil, 999, nil)
	notify("objectWasAdded", nef)
	notify("fileDownloadComplete", file7)
	same(sdk.log, "error: LensBridgeTask.tetherCallback: Could not locate device.", "log")
	task.connectDevice(nil, 257, nil)
	for _, step in ipairs({
		{ "objectWasAdded", nef },
		{ "objectWasAdded", { file_name = "no id" } },
		-- A completion for a capture never announced still reaches the host.
		{ "fileDownloadComplete", file7, { { "fileDownloadComplete", { captureId = 7, status = "done",
			filePath = "C:\\T\\C7.jpg", fileType = "jpg", fileDownloadTime = 12 } } } },
		{ "deviceAdded", { device_id = 257, name = "D850" }, { { changed, true } } },
		{ "deviceAdded", { device_id = 258, name = "D850 #2" }, { { changed, false } } },
		{ "deviceRemoved", { device_id = 999 }, {} }, { "deviceRemoved", nil, {} },  -- change nothing
		{ "deviceRemoved", { device_id = 5889 }, { { changed } } },
		-- The window's background request carries nothing; a notification without a payload
		-- reaches the host without one, whatever its name.
		{ "setTetherWindowToBackground", { ignored = true }, { { "setTetherWindowToBackground" } } },
		{ "saveLiveViewDimensions", { width = 640 } }, { "saveLiveViewDimensions" },
		{ "custom", { x = 1 } }, { "error" },
		{ "liveViewImage", { image = "jpeg bytes", size = 10 }, { { "liveViewImage", "jpeg bytes" } } },
	}) do
		sdk.inbox = { { step[1], step[2] }, { "next" } }
		task.pollForMessages(nil)
		same({ sdk.polled, #sdk.inbox }, { "connection-1", 1 }, "one message taken")
		expectHost(step[3] or { { step[1], step[2] } }, step[1])
	end
	same(task.queryDevices().devices, { { id = 257, name = "D850" }, { id = 258, name = "D850 #2" } },
		"the host's list follows")
	for mode, name in pairs({ [0] = "Program", "Aperture Priority", "Speed Priority", "Manual",
			"Unknown" }) do
		notify("cameraSettingsChanged", { aeMode = mode, aperture = "f/8" })
		expectHost({ { "cameraSettingsChanged", { aeMode = name, aperture = "f/8" } } }, "aeMode " .. mode)
	end

	-- startDownload only for announced captures; an error reply stays with the capture, and
	-- a later message about the same capture keeps it.
	sdk.sent = {}
	task.startDownload(nil, 99)
	task.startDownload(nil, 1)
	expectSent({ { "startDownload", { capture_id = 1 } } }, "only the announced capture")
	sdk.reply("error", { error_code = 5 })
	notify("fileDownloadComplete", { capture_id = 1, file_path = "C:\\a.nef" })
	same(task._connectedDevice.captures[1].errorCode, { error_code = 5 }, "errorCode")

	-- A host callback that fails does not stop the polling, and is logged.
	task.setCallback(nil, function() error("host broke") end)
	sdk.inbox = { { "custom", {} } }
	task.pollForMessages(nil)
	same(sdk.log and sdk.log:match("^error: LensBridgeTask.pollForMessages: .*host broke$") ~= nil, true, "log")
end

-- Each of the host's calls: the message it sends the process (its keys, and its name when not
-- the call's), what it answers the host at once and, given a callback, what that gets from the
-- replies (errors, then "ok" with P). Without a callback the same replies must not raise.
tests["host calls send their commands and pass the replies on"] = function()
	connectedTask()
	local P, got = { status = "on", _sessionId = 4 }, {}
	local function record(...) got[#got + 1] = { ... } end
	local function replies()
		for _, reply in ipairs({ { "error" }, { "error", { error_description = "refused" } },
				{ "error", { error_code = 7 } }, { "ok", P } }) do sdk.reply(unpack(reply)) end
	end
	for _, call in ipairs({
		{ "connectDevice", { 257 }, { device_id = 257 }, "ok", { {} } },
		{ "disconnectDevice", { 257 }, { device_id = 257 } },
		{ "enableLogging", {}, {}, "ok", { { "on" } } },
		{ "getCameraSettings", { 257 }, { device_id = 257 }, nil, { {}, {}, { nil, 7 }, { P } } },
		{ "setCameraSettings", { 257, "aperture", "f/8" }, { device_id = 257, param_key = "aperture",
			param_value = "f/8" }, nil, nil, "updateCameraSetting" },
		{ "setManualFocusTimeGap", { 250 }, { time_gap = 250 }, nil, { {}, {}, {}, {} } },
		{ "doCapture", { 257 }, { device_id = 257 }, "ok" },
		{ "toggleLiveView", { 257, 1, 480, 640, 10, 20, "Live" }, { device_id = 257, window_level = 1,
			height = 480, width = 640, pos_x = 10, pos_y = 20, title = "Live" }, "ok" },
		{ "setCameraFocus", { -1, 3 }, { focus_direction = -1, focus_val = 3 }, "ok" },
		{ "isLiveViewOn", { 257 }, { device_id = 257 }, "ok", { { "on" } } },
		{ "doAutoFocus", {}, {}, "ok", { { "on" } } },
	}) do
		local name, args, params, status, calls, command = unpack(call, 1, 6)
		local answer = task[name](nil, unpack(args))
		expectSent({ { command or name, params } }, name)
		same(answer and answer.status, status, name .. " answer")
		if sdk.reply then replies() end
		if calls then
			got, args[#args + 1] = {}, record
			task[name](nil, unpack(args))
			replies()
			same(got, calls, name .. " callback")
			sdk.sent = {}
		end
	end
	-- The connection keeps its session id; "ok" with an error code is a refusal too.
	same(task._sessionId, 4, "session id")
	got = {}
	task.connectDevice(nil, 257, record)
	sdk.reply("ok", { error_code = 3 })
	same(got, {}, "no callback for a refusal")
end

tests["live view: the window commands follow its state"] = function()
	connectedTask()
	local names, all = { "showLiveViewWindow", "hideLiveViewWindow", "closeLiveViewWindow" }, {}
	for _, name in ipairs(names) do all[#all + 1] = { name, { device_id = 257 } } end
	local function windowCommands(on, what)
		for _, name in ipairs(names) do task[name](nil, 257) end
		expectSent(on and all or {}, what)
	end
	windowCommands(false, "off at first")
	toggle("error")
	windowCommands(false, "a refused toggle leaves it off")
	toggle("ok")
	windowCommands(true, "on after the toggle")
	-- The process says live view stopped by itself (the camera ended it).
	notify("LiveViewStatusChanged", { status = "liveViewOff" })
	expectHost({ { "LiveViewStatusChanged", "liveViewOff" } }, "status passed on")
	windowCommands(false, "off after the status change")
	notify("LiveViewStatusChanged", nil)
	windowCommands(true, "on after the next change")
	toggle("ok")
	windowCommands(false, "off after the second toggle")
end

-- The recorded session, in the order the process sent it: each reply goes to the callback of
-- the command it answers, sent just before; the notifications go through tetherCallback.
local function replay()
	fresh()
	task.init({}, "C:/plugins/lensbridge", nil)
	connect("connection-1")
	local connected, settings = false, nil
	local commands = {
		listDevices = function() task.queryDevices() end,
		connectDevice = function() task.connectDevice(nil, 257, function() connected = true end) end,
		getCameraSettings = function() task.getCameraSettings(nil, 257, function(t) settings = t end) end,
	}
	for _, entry in ipairs(assert(dofile(recordingPath), "recording")) do
		if entry.answers then
			assert(commands[entry.answers], "a reply to " .. entry.answers)()
			same(sdk.sent[#sdk.sent][1], entry.answers, "command sent")
			sdk.reply(entry.name, entry.params)
		else
			notify(entry.name, entry.params)
		end
	end
	local files, added, settingsTold = {}, 0, false
	for _, call in ipairs(sdk.host) do
		local name, params = call[1], call[2]
		if name == "fileDownloadComplete" then files[#files + 1] = params.fileType .. " " .. params.status end
		added = added + (name == "objectWasAdded" and 1 or 0)
		settingsTold = settingsTold or name == "cameraSettingsChanged" and params.aperture ~= nil
	end
	same({ task.queryDevices().devices[1], connected, settings and settings.aperture ~= nil, settingsTold,
		added, files }, { { id = 257, name = "D850" }, true, true, true, 3, { "jpg done", "nef done",
		"jpg done" } }, "the session as the host saw it")
end

if recordingPath then
	tests = { ["a recorded session replays through the scripts"] = replay }
end

local names, failures = {}, 0
for name in pairs(tests) do names[#names + 1] = name end
table.sort(names)
for _, name in ipairs(names) do
	local ok, message = pcall(tests[name])
	print((ok and "ok      " or "FAILED  ") .. name .. (ok and "" or ": " .. tostring(message)))
	if not ok then failures = failures + 1 end
end
print(string.format("%d passed, %d failed", #names - failures, failures))
os.exit(failures == 0 and 0 or 1)
