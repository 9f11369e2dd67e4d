-- The plug-in scripts as the host runs them, against a fake of the host's scripting SDK.
-- Runs on the chunks taken out of the built exe: lua5.1 plugin_test.lua CHUNK-DIR
-- With a recorded session as well (lua5.1 plugin_test.lua CHUNK-DIR RECORDING), it replays
-- that session through the scripts instead.
local chunkDir = assert(arg[1], "usage: lua5.1 plugin_test.lua CHUNK-DIR [RECORDING]")
local recordingPath = arg[2]

local failures, passed = 0, 0
local function check(condition, message)
	if not condition then
		error(message or "check failed", 2)
	end
end
local function equal(actual, expected, what)
	if actual ~= expected then
		error(string.format("%s: expected %s, got %s", what or "value", tostring(expected),
			tostring(actual)), 2)
	end
end
-- Tables with the same keys and the same values, compared to any depth.
local function same(actual, expected, what)
	local function differs(a, b, path)
		if type(a) ~= "table" or type(b) ~= "table" then
			if a ~= b then return path .. ": expected " .. tostring(b) .. ", got " .. tostring(a) end
			return nil
		end
		for key, value in pairs(b) do
			local found = differs(a[key], value, path .. "." .. tostring(key))
			if found then return found end
		end
		for key in pairs(a) do
			if b[key] == nil then return path .. "." .. tostring(key) .. ": not expected" end
		end
	end
	local found = differs(actual, expected, what or "value")
	if found then error(found, 2) end
end

-- The fake SDK. Everything the scripts do to the host is recorded here.
local sdk
local function resetSdk()
	sdk = { log = {}, spawns = {}, sent = {}, inbox = {}, closed = {}, files = {}, hostCalls = {} }
end

local function logger(name)
	local function record(level)
		return function(_, text) sdk.log[#sdk.log + 1] = level .. ": " .. tostring(text) end
	end
	return {
		trace = record("trace"),
		info = record("info"),
		error = record("error"),
		tracef = function(self, format, ...) self:trace(string.format(format, ...)) end,
	}
end
package.preload["HxLogger"] = function() return logger end
package.preload["HxPathUtils"] = function()
	return {
		child = function(base, relative) return base .. "/" .. relative end,
		extension = function(path) return path:match("%.([^./\\]+)$") end,
	}
end
package.preload["HxFileUtils"] = function()
	return { exists = function(path) return sdk.files[path] end }
end
package.preload["HxTableUtils"] = function() return { debugDumpTable = function() end } end
package.preload["HxRemoteCommunication"] = function()
	return {
		spawnTaskAndConnect = function(name, path, onConnected, onTerminated)
			sdk.spawns[#sdk.spawns + 1] = { name = name, path = path, connected = onConnected,
				terminated = onTerminated }
		end,
		sendMessageToServer = function(connection, name, params, callback)
			sdk.sent[#sdk.sent + 1] = { connection = connection, name = name, params = params,
				callback = callback }
		end,
		pollForMessage = function(connection)
			sdk.polled = connection
			local message = table.remove(sdk.inbox, 1)
			if message then return message[1], message[2] end
		end,
		closeNamedConnection = function(connection, name)
			sdk.closed[#sdk.closed + 1] = { connection, name }
		end,
	}
end
LOC = function(key) return (key:gsub("^.-=", "")) end

-- The chunks, checked and installed as the modules the scripts require.
local kHeader = "\27Lua\81\0\1\4\8\4\8\0"
local chunks = {
	INFO = "INFO.LUA",
	LensBridgeServiceProvider = "LENSBRIDGESERVICEPROVIDER.LUA",
	LensBridgeTask = "LENSBRIDGETASK.LUA",
	LensBridgeUtils = "LENSBRIDGEUTILS.LUA",
}
local loaded = {}
for module, resource in pairs(chunks) do
	local file = assert(io.open(chunkDir .. "/" .. resource, "rb"), resource .. " is missing")
	local bytes = file:read("*a")
	file:close()
	loaded[module] = { bytes = bytes, chunk = assert(loadstring(bytes, "=" .. resource)) }
end

local function freshTask()
	resetSdk()
	for module in pairs(chunks) do
		package.loaded[module] = nil
		if module ~= "INFO" then package.preload[module] = loaded[module].chunk end
	end
	local task = require "LensBridgeTask"
	task.setCallback(nil, function(message, params)
		sdk.hostCalls[#sdk.hostCalls + 1] = { message = message, params = params }
	end)
	return task
end

local function lastSent() return sdk.sent[#sdk.sent] end
local function hostCallsNamed(name)
	local found = {}
	for _, call in ipairs(sdk.hostCalls) do
		if call.message == name then found[#found + 1] = call end
	end
	return found
end

-- A task launched, connected and with the device list of the reply to "listDevices".
local function connectedTask(devices)
	local task = freshTask()
	local properties = {}
	task.init(properties, "C:/plugins/lensbridge", nil)
	sdk.spawns[1].connected("connection-1")
	task.queryDevices()
	local list = lastSent()
	list.callback("ok", { devices = devices or { { device_id = 257, name = "D850" } } })
	return task, properties
end

local tests = {}

tests["chunks are stripped Lua 5.1 with the standard header"] = function()
	for module, entry in pairs(loaded) do
		equal(entry.bytes:sub(1, 12), kHeader, module .. " header")
		-- A stripped chunk names no source: the main function's source string is empty.
		equal(entry.bytes:sub(13, 20), string.rep("\0", 8), module .. " source name")
	end
end

tests["plug-in information"] = function()
	local info = loaded.INFO.chunk()
	equal(info.HxSdkVersion, 3, "HxSdkVersion")
	equal(info.HxSdkMinimumVersion, 3, "HxSdkMinimumVersion")
	equal(info.HxPluginName, "Nikon Tether Plugin", "HxPluginName")
	equal(info.HxCameraTetherServiceProvider.file, "LensBridgeServiceProvider.lua", "file")
	equal(info.HxCameraTetherServiceProvider.enableHeartBeatChecks, true, "heartbeat checks")
	check(type(info.HxToolkitIdentifier) == "string" and info.HxToolkitIdentifier ~= "")
	equal(info.VERSION.revision, 0, "revision")
	check(type(info.VERSION.major) == "number" and type(info.VERSION.minor) == "number")
	-- The host compares VERSION fields as numbers; a text there is not a version it can read.
	equal(type(info.VERSION.build), "number", "build number")
end

tests["the provider exports the task's functions"] = function()
	local task = freshTask()
	local provider = require "LensBridgeServiceProvider"
	local names = { "init", "shutdown", "setCallback", "queryDevices", "connectDevice",
		"disconnectDevice", "enableLogging", "getCameraSettings", "setCameraSettings",
		"setManualFocusTimeGap", "doCapture", "toggleLiveView", "setCameraFocus", "isLiveViewOn",
		"doAutoFocus", "showLiveViewWindow", "hideLiveViewWindow", "closeLiveViewWindow",
		"pollForMessages", "startDownload" }
	local count = 0
	for _ in pairs(provider) do count = count + 1 end
	equal(count, #names, "exported functions")
	for _, name in ipairs(names) do
		check(provider[name] ~= nil and provider[name] == task[name], name)
	end
	check(provider.tetherCallback == nil and provider.isProcessAlive == nil)
end

tests["launch, and relaunch when the process ends"] = function()
	local task = freshTask()
	local results = {}
	task.init({}, "C:/plugins/lensbridge", function(ok) results[#results + 1] = ok end)
	equal(#sdk.spawns, 1, "spawns")
	equal(sdk.spawns[1].name, "lensbridge", "connection name")
	equal(sdk.spawns[1].path, "C:/plugins/lensbridge/lensbridge.exe", "path")
	check(not task.isProcessAlive())
	sdk.spawns[1].connected("connection-1")
	check(task.isProcessAlive())
	equal(results[1], true, "callback")
	task.liveViewOn = true
	sdk.spawns[1].terminated()
	check(not task.isProcessAlive() and not task.liveViewOn)
	equal(#sdk.spawns, 2, "relaunched")
	task.shutdown()
	equal(sdk.closed[1][2], "lensbridge", "closed")
	sdk.spawns[2].connected(nil)
	equal(results[2], false, "failed connection")
	task.shutdown()
	equal(#sdk.closed, 1, "nothing to close without a connection")
end

tests["a second init starts afresh"] = function()
	local task = connectedTask()
	task.toggleLiveView(nil, 257, 1, 480, 640, 0, 0, "Live")
	lastSent().callback("ok", nil)
	local properties = {}
	task.init(properties, "C:/plugins/lensbridge", nil)
	check(not task.isProcessAlive(), "not alive before the new connection")
	local before = #sdk.sent
	task.showLiveViewWindow(nil, 257)
	equal(#sdk.sent, before, "live view is off")
	sdk.spawns[2].connected("connection-2")
	equal(task.queryDevices().status, "notReady", "the new list is not there yet")
	equal(lastSent().name, "listDevices", "asked again")
	equal(lastSent().connection, "connection-2", "on the new connection")
end

tests["the executable's path on macOS, and a debug build's"] = function()
	local task = freshTask()
	MAC_ENV, DEBUG = true, nil
	task.init({}, "/Plugins/LensBridge.plugin", nil)
	DEBUG = true
	task.init({}, "/Plugins/LensBridge.plugin", nil)
	local debugPath = "/Plugins/LensBridge.plugin/../../../../../lensbridge/Debug/lensbridge.app/Contents/MacOS/lensbridge"
	sdk.files[debugPath] = "file"
	task.init({}, "/Plugins/LensBridge.plugin", nil)
	MAC_ENV, DEBUG = nil, nil
	local bundled = "/Plugins/LensBridge.plugin/Contents/PlugIns/lensbridge.app/Contents/MacOS/lensbridge"
	equal(sdk.spawns[1].path, bundled, "release")
	equal(sdk.spawns[2].path, bundled, "debug without a debug build")
	equal(sdk.spawns[3].path, debugPath, "debug build")
end

tests["device list: before connection, before and after the reply"] = function()
	local task = freshTask()
	local properties = {}
	task.init(properties, "C:/p", nil)
	equal(task.queryDevices(), nil, "before connection")
	equal(#sdk.sent, 0, "nothing sent")
	sdk.spawns[1].connected("c")
	equal(task.queryDevices().status, "notReady", "before the reply")
	equal(task.queryDevices().status, "notReady", "still before the reply")
	equal(#sdk.sent, 1, "listDevices sent once")
	equal(sdk.sent[1].name, "listDevices", "command")
	sdk.sent[1].callback("ok", { devices = { { device_id = 257, name = "D850" },
		{ device_id = 5889, name = "Z 7" } } })
	equal(#hostCallsNamed("availableDevicesChanged"), 1, "host told")
	same(task.queryDevices(), { status = "ok", devices = { { id = 257, name = "D850" },
		{ id = 5889, name = "Z 7" } } }, "answer")
	equal(#sdk.sent, 1, "no second listDevices")
end

tests["devices come and go"] = function()
	local task, properties = connectedTask()
	sdk.hostCalls = {}
	task.tetherCallback(nil, "deviceAdded", { device_id = 257, name = "D850" })
	equal(#properties.availableDevices, 1, "no duplicate")
	equal(sdk.hostCalls[1].message, "availableDevicesChanged", "host told")
	equal(sdk.hostCalls[1].params, true, "already present")
	task.tetherCallback(nil, "deviceAdded", { device_id = 258, name = "D850 #2" })
	equal(#properties.availableDevices, 2, "added")
	equal(sdk.hostCalls[2].params, false, "new")
	task.tetherCallback(nil, "deviceRemoved", { device_id = 999 })
	task.tetherCallback(nil, "deviceRemoved", nil)
	equal(#sdk.hostCalls, 2, "an unknown or missing id changes nothing")
	task.tetherCallback(nil, "deviceRemoved", { device_id = 257 })
	equal(#properties.availableDevices, 1, "removed")
	equal(properties.availableDevices[1].device_id, 258, "the other stays")
	equal(#hostCallsNamed("availableDevicesChanged"), 3, "host told of the removal")
	equal(task.queryDevices().devices[1].id, 258, "the host's list follows")

	-- Before the first device list there is nothing to change or to tell.
	task = freshTask()
	task.init({}, "C:/p", nil)
	task.tetherCallback(nil, "deviceAdded", { device_id = 257, name = "D850" })
	task.tetherCallback(nil, "deviceRemoved", { device_id = 257 })
	equal(#sdk.hostCalls, 0, "no list yet")
end

tests["captures reach the host with their file type"] = function()
	local task = connectedTask()
	task.tetherCallback(nil, "objectWasAdded", { capture_id = 1, file_name = "Capture0001.jpg" })
	equal(#hostCallsNamed("objectWasAdded"), 0, "no device connected: dropped")
	check(sdk.log[#sdk.log] == "error: LensBridgeTask.tetherCallback: Could not locate device.")

	task.connectDevice(nil, 257, nil)
	task.tetherCallback(nil, "objectWasAdded", { capture_id = 1, file_name = "Capture0001.nef" })
	local added = hostCallsNamed("objectWasAdded")
	equal(#added, 1, "announced")
	equal(added[1].params.file_name, "Capture0001.nef", "file name")
	task.tetherCallback(nil, "objectWasAdded", { file_name = "no id" })
	equal(#hostCallsNamed("objectWasAdded"), 2, "announced without a capture id")
	-- A completion for a capture never announced still reaches the host.
	task.tetherCallback(nil, "fileDownloadComplete", { capture_id = 7,
		file_path = "C:\\Temp\\Capture0007.jpg", file_download_time = 12 })
	local done = hostCallsNamed("fileDownloadComplete")[1].params
	equal(done.captureId, 7, "captureId")
	equal(done.filePath, "C:\\Temp\\Capture0007.jpg", "filePath")
	equal(done.fileType, "jpg", "fileType")
	equal(done.fileDownloadTime, 12, "time")
	equal(done.status, "done", "status")

	-- startDownload only for announced captures; an error reply stays with the capture, and
	-- a later message about the same capture keeps it.
	local before = #sdk.sent
	task.startDownload(nil, 99)
	equal(#sdk.sent, before, "unknown capture")
	task.startDownload(nil, 1)
	equal(lastSent().name, "startDownload", "command")
	same(lastSent().params, { capture_id = 1 }, "startDownload")
	lastSent().callback("error", { error_code = 5 })
	task.tetherCallback(nil, "fileDownloadComplete", { capture_id = 1, file_path = "C:\\a.nef" })
	equal(task._connectedDevice.captures[1].errorCode.error_code, 5, "errorCode")
end

tests["exposure modes shown by name"] = function()
	local task = connectedTask()
	local names = { [0] = "Program", "Aperture Priority", "Speed Priority", "Manual", "Unknown" }
	for mode = 0, 4 do
		task.tetherCallback(nil, "cameraSettingsChanged", { aeMode = mode, aperture = "f/8" })
		local settings = hostCallsNamed("cameraSettingsChanged")[mode + 1].params
		equal(settings.aeMode, names[mode], "aeMode " .. mode)
		equal(settings.aperture, "f/8", "others untouched")
	end
end

-- Each of the host's calls, the message it sends the process (name and keys, on the
-- connection the launch made) and what it answers the host at once.
tests["host calls send their commands with the keys the process reads"] = function()
	local task = connectedTask()
	local calls = {
		{ "connectDevice", { 257 }, "connectDevice", { device_id = 257 }, "ok" },
		{ "disconnectDevice", { 257 }, "disconnectDevice", { device_id = 257 } },
		{ "enableLogging", {}, "enableLogging", {}, "ok" },
		{ "getCameraSettings", { 257 }, "getCameraSettings", { device_id = 257 } },
		{ "setCameraSettings", { 257, "aperture", "f/8" }, "updateCameraSetting",
			{ device_id = 257, param_key = "aperture", param_value = "f/8" } },
		{ "setManualFocusTimeGap", { 250 }, "setManualFocusTimeGap", { time_gap = 250 } },
		{ "doCapture", { 257 }, "doCapture", { device_id = 257 }, "ok" },
		{ "toggleLiveView", { 257, 1, 480, 640, 10, 20, "Live" }, "toggleLiveView",
			{ device_id = 257, window_level = 1, height = 480, width = 640, pos_x = 10, pos_y = 20,
				title = "Live" }, "ok" },
		{ "setCameraFocus", { -1, 3 }, "setCameraFocus", { focus_direction = -1, focus_val = 3 }, "ok" },
		{ "isLiveViewOn", { 257 }, "isLiveViewOn", { device_id = 257 }, "ok" },
		{ "doAutoFocus", {}, "doAutoFocus", {}, "ok" },
	}
	for _, call in ipairs(calls) do
		local call_name, args, command, params, status = unpack(call)
		local before = #sdk.sent
		local answer = task[call_name](nil, unpack(args))
		equal(#sdk.sent, before + 1, call_name .. " sends one message")
		equal(lastSent().connection, "connection-1", call_name .. " connection")
		equal(lastSent().name, command, call_name .. " command")
		same(lastSent().params, params, call_name)
		equal(answer and answer.status, status, call_name .. " answer")
	end
	task.shutdown()
	same(sdk.closed, { { "connection-1", "lensbridge" } }, "connection closed")
end

tests["live view: the window commands follow its state"] = function()
	local task = connectedTask()
	local windowCommands = { "showLiveViewWindow", "hideLiveViewWindow", "closeLiveViewWindow" }
	local function sendsWindowCommands()
		local before = #sdk.sent
		for _, name in ipairs(windowCommands) do task[name](nil, 257) end
		local sent = #sdk.sent - before
		check(sent == 0 or sent == #windowCommands, "all or none sent")
		for index, name in ipairs(windowCommands) do
			if sent > 0 then
				local message = sdk.sent[before + index]
				equal(message.name, name, "window command")
				same(message.params, { device_id = 257 }, name)
			end
		end
		return sent > 0
	end
	check(not sendsWindowCommands(), "nothing sent while off")
	task.toggleLiveView(nil, 257, 1, 480, 640, 0, 0, "Live")
	lastSent().callback("error", { error_code = -1 })
	check(not sendsWindowCommands(), "a refused toggle changes nothing")
	task.toggleLiveView(nil, 257, 1, 480, 640, 0, 0, "Live")
	lastSent().callback("ok", nil)
	check(sendsWindowCommands(), "sent once on")
	task.tetherCallback(nil, "liveViewImage", { image = "jpeg bytes", size = 10 })
	equal(hostCallsNamed("liveViewImage")[1].params, "jpeg bytes", "frame")

	-- The process says live view stopped by itself (the camera ended it).
	task.tetherCallback(nil, "LiveViewStatusChanged", { status = "liveViewOff" })
	equal(hostCallsNamed("LiveViewStatusChanged")[1].params, "liveViewOff", "status passed on")
	check(not sendsWindowCommands(), "off after the status change")
	task.tetherCallback(nil, "LiveViewStatusChanged", nil)
	check(sendsWindowCommands(), "on after the next change")
	task.toggleLiveView(nil, 257, 1, 480, 640, 0, 0, "Live")
	lastSent().callback("ok", nil)
	check(not sendsWindowCommands(), "off after the second toggle")
end

tests["replies reach the host's callbacks only when they succeed"] = function()
	local task = connectedTask()
	local got = {}
	task.getCameraSettings(nil, 257, function(settings, code) got.settings, got.code = settings, code end)
	lastSent().callback("error", { error_code = 65535 })
	equal(got.settings, nil, "no settings")
	equal(got.code, 65535, "error code")
	task.getCameraSettings(nil, 257, function(settings) got.settings = settings end)
	lastSent().callback("ok", { aperture = "f/8" })
	equal(got.settings.aperture, "f/8", "settings")
	task.getCameraSettings(nil, 257, nil)
	lastSent().callback("ok", {})

	-- The status callbacks get the status of a reply "ok", nothing otherwise.
	for _, call in ipairs({ { "doAutoFocus", {}, "AutoFocusOff" },
			{ "isLiveViewOn", { 257 }, "liveViewOff" }, { "enableLogging", {}, "on" } }) do
		local name, args, status = unpack(call)
		local calls, last = 0, nil
		args[#args + 1] = function(value) calls, last = calls + 1, value end
		task[name](nil, unpack(args))
		local reply = lastSent().callback
		reply("error", { error_code = -1 })
		equal(calls, 0, name .. " after an error")
		reply("ok", { status = status })
		equal(calls, 1, name .. " after ok")
		equal(last, status, name .. " status")
	end

	-- A connection is confirmed by "ok" without an error code; no error reply may raise.
	local connected = 0
	task.connectDevice(nil, 257, function() connected = connected + 1 end)
	local reply = lastSent().callback
	reply("ok", { _sessionId = 4 })
	equal(connected, 1, "connect callback")
	equal(task._sessionId, 4, "session id")
	reply("ok", { error_code = 3 })
	reply("error", nil)
	reply("error", { error_description = "refused" })
	reply("error", { error_code = -1 })
	reply("error", { error_code = -1, error_description = "refused" })
	equal(connected, 1, "no callback for a refusal")

	local gapAnswered = false
	task.setManualFocusTimeGap(nil, 100, function() gapAnswered = true end)
	lastSent().callback("ok")
	check(gapAnswered, "time gap callback")
end

tests["polling takes one message and survives errors"] = function()
	local task = connectedTask()
	sdk.inbox = { { "deviceAdded", { device_id = 300, name = "new" } }, { "custom", { x = 1 } } }
	task.pollForMessages(nil)
	equal(#sdk.inbox, 1, "one at a time")
	equal(sdk.polled, "connection-1", "polled connection")
	equal(hostCallsNamed("availableDevicesChanged")[2].params, false, "the message taken is handled")
	task.pollForMessages(nil)
	equal(hostCallsNamed("custom")[1].params.x, 1, "other names pass through")
	-- The window's background request carries nothing; a notification without a payload
	-- reaches the host without one, whatever its name.
	sdk.inbox = { { "setTetherWindowToBackground", { ignored = true } },
		{ "saveLiveViewDimensions", { width = 640 } }, { "error", nil }, { "saveLiveViewDimensions", nil } }
	for _ = 1, 4 do task.pollForMessages(nil) end
	local background = hostCallsNamed("setTetherWindowToBackground")
	equal(#background, 1, "background request delivered")
	equal(background[1].params, nil, "background request without parameters")
	equal(hostCallsNamed("saveLiveViewDimensions")[1].params.width, 640, "dimensions")
	equal(#hostCallsNamed("error"), 1, "nil payload delivered")
	equal(hostCallsNamed("error")[1].params, nil, "nil payload passed on")
	equal(hostCallsNamed("saveLiveViewDimensions")[2].params, nil, "nil dimensions passed on")
	task._hostCallback = function() error("host failure") end
	sdk.inbox = { { "custom", {} } }
	task.pollForMessages(nil)  -- must not raise
end

-- The recorded session: the replies go to the callbacks of the commands the scripts send,
-- the notifications through tetherCallback, in the order the process sent them.
local function replay()
	local recording = assert(dofile(recordingPath), "recording")
	local task = freshTask()
	local properties = {}
	task.init(properties, "C:/plugins/lensbridge", nil)
	sdk.spawns[1].connected("connection-1")
	local function replyTo(command)
		for index, entry in ipairs(recording) do
			if entry.answers == command then
				table.remove(recording, index)
				return entry
			end
		end
		error("the recording has no reply to " .. command)
	end
	local function notificationsUntil(stop)
		while recording[1] and recording[1].id == 0 and recording[1] ~= stop do
			local entry = table.remove(recording, 1)
			task.tetherCallback(nil, entry.name, entry.params)
		end
	end
	local function answer(command)
		local sent = lastSent()
		equal(sent.name, command, "command sent")
		local reply = replyTo(command)
		if sent.callback then sent.callback(reply.name, reply.params) end
	end

	task.queryDevices()
	answer("listDevices")
	notificationsUntil()
	local devices = task.queryDevices().devices
	equal(devices[1].id, 257, "first device from the reply")
	equal(devices[1].name, "D850", "its name")
	local connected = false
	task.connectDevice(nil, 257, function() connected = true end)
	answer("connectDevice")
	check(connected, "connected")
	notificationsUntil()
	local settings
	task.getCameraSettings(nil, 257, function(table) settings = table end)
	answer("getCameraSettings")
	check(settings and settings.aperture, "settings with an aperture")
	notificationsUntil()
	task.doCapture(nil, 257)
	notificationsUntil()
	task.doCapture(nil, 257)
	notificationsUntil()

	local types = {}
	for _, call in ipairs(hostCallsNamed("fileDownloadComplete")) do
		types[#types + 1] = call.params.fileType
		equal(call.params.status, "done", "status")
	end
	equal(table.concat(types, " "), "jpg nef jpg", "file types in order")
	equal(#hostCallsNamed("objectWasAdded"), 3, "announcements")
	local changed = hostCallsNamed("cameraSettingsChanged")
	check(#changed >= 1 and changed[1].params.aperture, "settings notification")
end

if recordingPath then
	tests = { ["a recorded session replays through the scripts"] = replay }
end

local names = {}
for name in pairs(tests) do names[#names + 1] = name end
table.sort(names)
for _, name in ipairs(names) do
	local ok, message = pcall(tests[name])
	if ok then
		passed = passed + 1
		print("ok      " .. name)
	else
		failures = failures + 1
		print("FAILED  " .. name .. ": " .. tostring(message))
	end
end
print(string.format("%d passed, %d failed", passed, failures))
os.exit(failures == 0 and 0 or 1)
