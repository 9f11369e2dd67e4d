-- The plug-in scripts as the host runs them, against a fake of the host's scripting SDK.
-- Runs on the chunks taken out of the built exe: lua5.1 plugin_test.lua CHUNK-DIR
-- With a recorded session as well (lua5.1 plugin_test.lua CHUNK-DIR RECORDING), it replays
-- that session through the scripts instead.
local chunkDir = assert(arg[1], "usage: lua5.1 plugin_test.lua CHUNK-DIR [RECORDING]")
local recordingPath = arg[2]

-- Values equal, tables compared key by key to any depth.
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
package.preload["HxLogger"] = function()
	return function()
		local function record(level)
			return function(_, text) sdk.log[#sdk.log + 1] = level .. ": " .. tostring(text) end
		end
		return { trace = record("trace"), info = record("info"), error = record("error"),
			tracef = function(self, format, ...) self:trace(string.format(format, ...)) end }
	end
end
package.preload["HxPathUtils"] = function()
	return { child = function(base, relative) return base .. "/" .. relative end,
		extension = function(path) return path:match("%.([^./\\]+)$") end }
end
package.preload["HxFileUtils"] = function() return { exists = function(path) return sdk.files[path] end } end
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

-- The chunks, checked and installed as the modules the scripts require; each resource is
-- named after its module in capitals.
local chunks = { "INFO", "LensBridgeServiceProvider", "LensBridgeTask", "LensBridgeUtils" }
local loaded = {}
for _, module in ipairs(chunks) do
	local resource = module:upper() .. ".LUA"
	local file = assert(io.open(chunkDir .. "/" .. resource, "rb"), resource .. " is missing")
	local bytes = file:read("*a")
	file:close()
	loaded[module] = { bytes = bytes, chunk = assert(loadstring(bytes, "=" .. resource)) }
end

local function freshTask()
	sdk = { log = {}, spawns = {}, sent = {}, inbox = {}, closed = {}, files = {}, hostCalls = {} }
	for _, module in ipairs(chunks) do
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
local function connectedTask()
	local task = freshTask()
	task.init({}, "C:/plugins/lensbridge", nil)
	sdk.spawns[1].connected("connection-1")
	task.queryDevices()
	lastSent().callback("ok", { devices = { { device_id = 257, name = "D850" } } })
	return task
end

local tests = {}

tests["the chunks, the plug-in information and the provider's functions"] = function()
	for module, entry in pairs(loaded) do
		same(entry.bytes:sub(1, 12), "\27Lua\81\0\1\4\8\4\8\0", module .. " header")
		-- A stripped chunk names no source: the main function's source string is empty.
		same(entry.bytes:sub(13, 20), string.rep("\0", 8), module .. " source name")
	end
	local info = loaded.INFO.chunk()
	-- The host compares VERSION fields as numbers; a text there is not a version it can read.
	same({ info.HxSdkVersion, info.HxSdkMinimumVersion, info.HxPluginName, info.VERSION.revision,
		type(info.VERSION.major), type(info.VERSION.minor), type(info.VERSION.build),
		#info.HxToolkitIdentifier > 0 }, { 3, 3, "Nikon Tether Plugin", 0, "number", "number",
		"number", true }, "INFO")
	same(info.HxCameraTetherServiceProvider, { title = "Nikon Tether Plugin",
		file = "LensBridgeServiceProvider.lua", enableHeartBeatChecks = true }, "provider entry")

	local task = freshTask()
	local exported = {}
	for name, value in pairs(require "LensBridgeServiceProvider") do
		assert(value == task[name], name)
		exported[#exported + 1] = name
	end
	table.sort(exported)
	same(table.concat(exported, " "), "closeLiveViewWindow connectDevice disconnectDevice " ..
		"doAutoFocus doCapture enableLogging getCameraSettings hideLiveViewWindow init " ..
		"isLiveViewOn pollForMessages queryDevices setCallback setCameraFocus setCameraSettings " ..
		"setManualFocusTimeGap showLiveViewWindow shutdown startDownload toggleLiveView", "exported")
end

tests["launch, relaunch when the process ends, and a second init"] = function()
	local task = freshTask()
	local results = {}
	task.init({}, "C:/plugins/lensbridge", function(ok) results[#results + 1] = ok end)
	same({ sdk.spawns[1].name, sdk.spawns[1].path }, { "lensbridge",
		"C:/plugins/lensbridge/lensbridge.exe" }, "spawn")
	assert(not task.isProcessAlive(), "alive before connecting")
	sdk.spawns[1].connected("connection-1")
	assert(task.isProcessAlive(), "not alive once connected")
	task.liveViewOn = true
	sdk.spawns[1].terminated()
	assert(not task.isProcessAlive() and not task.liveViewOn, "alive after the end")
	same(#sdk.spawns, 2, "relaunched")
	task.shutdown()
	sdk.spawns[2].connected(nil)
	same(results, { true, false }, "launch results")
	task.shutdown()
	same(sdk.closed, { { "connection-1", "lensbridge" } }, "closed, and nothing without a connection")

	-- A second init starts afresh: live view off and a new device list on the new connection.
	task = connectedTask()
	task.toggleLiveView(nil, 257, 1, 480, 640, 0, 0, "Live")
	lastSent().callback("ok", nil)
	task.init({}, "C:/plugins/lensbridge", nil)
	assert(not task.isProcessAlive(), "alive before the new connection")
	local before = #sdk.sent
	task.showLiveViewWindow(nil, 257)
	same(#sdk.sent, before, "live view is off")
	sdk.spawns[2].connected("connection-2")
	same(task.queryDevices(), { status = "notReady" }, "the new list is not there yet")
	same({ lastSent().name, lastSent().connection }, { "listDevices", "connection-2" }, "asked again")
end

tests["device list: asked once, then following the cameras that come and go"] = function()
	local task = freshTask()
	task.init({}, "C:/p", nil)
	-- Before the first device list there is nothing to change or to tell.
	task.tetherCallback(nil, "deviceAdded", { device_id = 257, name = "D850" })
	task.tetherCallback(nil, "deviceRemoved", { device_id = 257 })
	same(task.queryDevices(), nil, "before connection")
	sdk.spawns[1].connected("c")
	same(task.queryDevices(), { status = "notReady" }, "before the reply")
	same(task.queryDevices(), { status = "notReady" }, "still before the reply")
	same(#sdk.sent, 1, "listDevices sent once")
	same(sdk.hostCalls, {}, "nothing told before the list")
	sdk.sent[1].callback("ok", { devices = { { device_id = 257, name = "D850" },
		{ device_id = 5889, name = "Z 7" } } })
	same(task.queryDevices(), { status = "ok", devices = { { id = 257, name = "D850" },
		{ id = 5889, name = "Z 7" } } }, "answer")
	same({ #sdk.sent, sdk.sent[1].name }, { 1, "listDevices" }, "no second listDevices")

	task.tetherCallback(nil, "deviceAdded", { device_id = 257, name = "D850" })
	task.tetherCallback(nil, "deviceAdded", { device_id = 258, name = "D850 #2" })
	task.tetherCallback(nil, "deviceRemoved", { device_id = 999 })  -- unknown or missing ids
	task.tetherCallback(nil, "deviceRemoved", nil)                  -- change nothing
	task.tetherCallback(nil, "deviceRemoved", { device_id = 5889 })
	local changed = { message = "availableDevicesChanged" }
	same(sdk.hostCalls, { changed, { message = changed.message, params = true },
		{ message = changed.message, params = false }, changed }, "host told")
	same(task.queryDevices().devices, { { id = 257, name = "D850" }, { id = 258, name = "D850 #2" } },
		"the host's list follows")
end

tests["captures and settings reach the host in its terms"] = function()
	local task = connectedTask()
	task.tetherCallback(nil, "objectWasAdded", { capture_id = 1, file_name = "Capture0001.jpg" })
	task.tetherCallback(nil, "fileDownloadComplete", { capture_id = 1, file_path = "C:\\a.jpg" })
	same(#sdk.hostCalls, 1, "no device connected: dropped")
	same(sdk.log[#sdk.log], "error: LensBridgeTask.tetherCallback: Could not locate device.", "log")

	task.connectDevice(nil, 257, nil)
	task.tetherCallback(nil, "objectWasAdded", { capture_id = 1, file_name = "Capture0001.nef" })
	task.tetherCallback(nil, "objectWasAdded", { file_name = "no id" })
	-- A completion for a capture never announced still reaches the host.
	task.tetherCallback(nil, "fileDownloadComplete", { capture_id = 7,
		file_path = "C:\\Temp\\Capture0007.jpg", file_download_time = 12 })
	same(sdk.hostCalls, { sdk.hostCalls[1],
		{ message = "objectWasAdded", params = { capture_id = 1, file_name = "Capture0001.nef" } },
		{ message = "objectWasAdded", params = { file_name = "no id" } },
		{ message = "fileDownloadComplete", params = { captureId = 7, status = "done",
			filePath = "C:\\Temp\\Capture0007.jpg", fileType = "jpg", fileDownloadTime = 12 } } },
		"host calls")

	-- startDownload only for announced captures; an error reply stays with the capture, and
	-- a later message about the same capture keeps it.
	task.startDownload(nil, 99)
	same(lastSent().name, "connectDevice", "unknown capture")
	task.startDownload(nil, 1)
	same({ lastSent().name, lastSent().params }, { "startDownload", { capture_id = 1 } }, "sent")
	lastSent().callback("error", { error_code = 5 })
	task.tetherCallback(nil, "fileDownloadComplete", { capture_id = 1, file_path = "C:\\a.nef" })
	same(task._connectedDevice.captures[1].errorCode, { error_code = 5 }, "errorCode")

	for mode, name in pairs({ [0] = "Program", "Aperture Priority", "Speed Priority", "Manual",
			"Unknown" }) do
		task.tetherCallback(nil, "cameraSettingsChanged", { aeMode = mode, aperture = "f/8" })
		same(sdk.hostCalls[#sdk.hostCalls], { message = "cameraSettingsChanged",
			params = { aeMode = name, aperture = "f/8" } }, "aeMode " .. mode)
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
		local name, args, command, params, status = unpack(call)
		local before = #sdk.sent
		local answer = task[name](nil, unpack(args))
		same(#sdk.sent, before + 1, name .. " sends one message")
		same({ lastSent().connection, lastSent().name, lastSent().params, answer and answer.status },
			{ "connection-1", command, params, status }, name)
	end
end

tests["live view: the window commands follow its state"] = function()
	local task = connectedTask()
	local windowCommands = { "showLiveViewWindow", "hideLiveViewWindow", "closeLiveViewWindow" }
	local function sendsWindowCommands()
		local before = #sdk.sent
		for _, name in ipairs(windowCommands) do task[name](nil, 257) end
		if #sdk.sent == before then return false end
		for index, name in ipairs(windowCommands) do
			same(sdk.sent[before + index], { connection = "connection-1", name = name,
				params = { device_id = 257 } }, name)
		end
		return true
	end
	local function toggle(result)
		task.toggleLiveView(nil, 257, 1, 480, 640, 0, 0, "Live")
		lastSent().callback(result, nil)
	end
	assert(not sendsWindowCommands(), "sent while off")
	toggle("error")
	assert(not sendsWindowCommands(), "a refused toggle turned it on")
	toggle("ok")
	assert(sendsWindowCommands(), "not sent once on")
	task.tetherCallback(nil, "liveViewImage", { image = "jpeg bytes", size = 10 })
	same(hostCallsNamed("liveViewImage")[1].params, "jpeg bytes", "frame")

	-- The process says live view stopped by itself (the camera ended it).
	task.tetherCallback(nil, "LiveViewStatusChanged", { status = "liveViewOff" })
	same(hostCallsNamed("LiveViewStatusChanged")[1].params, "liveViewOff", "status passed on")
	assert(not sendsWindowCommands(), "sent after the status change")
	task.tetherCallback(nil, "LiveViewStatusChanged", nil)
	assert(sendsWindowCommands(), "not sent after the next change")
	toggle("ok")
	assert(not sendsWindowCommands(), "sent after the second toggle")
end

tests["replies reach the host's callbacks only when they succeed"] = function()
	local task = connectedTask()
	local got = {}
	task.getCameraSettings(nil, 257, function(...) got[#got + 1] = { ... } end)
	lastSent().callback("error", { error_code = 65535 })
	lastSent().callback("ok", { aperture = "f/8" })
	same(got, { { nil, 65535 }, { { aperture = "f/8" } } }, "settings callback")
	task.getCameraSettings(nil, 257, nil)
	lastSent().callback("ok", {})

	-- The status callbacks get the status of a reply "ok", nothing otherwise.
	for _, call in ipairs({ { "doAutoFocus", {}, "AutoFocusOff" },
			{ "isLiveViewOn", { 257 }, "liveViewOff" }, { "enableLogging", {}, "on" } }) do
		local name, args, status = unpack(call)
		local statuses = {}
		args[#args + 1] = function(value) statuses[#statuses + 1] = tostring(value) end
		task[name](nil, unpack(args))
		lastSent().callback("error", { error_code = -1 })
		lastSent().callback("ok", { status = status })
		same(statuses, { status }, name)
	end

	-- A connection is confirmed by "ok" without an error code; no error reply may raise.
	local connected = 0
	task.connectDevice(nil, 257, function() connected = connected + 1 end)
	local reply = lastSent().callback
	reply("ok", { _sessionId = 4 })
	same({ connected, task._sessionId }, { 1, 4 }, "connected with its session id")
	reply("ok", { error_code = 3 })
	reply("error", nil)
	reply("error", { error_description = "refused" })
	reply("error", { error_code = -1, error_description = "refused" })
	same(connected, 1, "no callback for a refusal")

	local gapAnswered = false
	task.setManualFocusTimeGap(nil, 100, function() gapAnswered = true end)
	lastSent().callback("ok")
	assert(gapAnswered, "time gap callback")
end

tests["polling takes one message at a time and survives errors"] = function()
	local task = connectedTask()
	sdk.hostCalls = {}
	-- The window's background request carries nothing; a notification without a payload
	-- reaches the host without one, whatever its name.
	sdk.inbox = { { "deviceAdded", { device_id = 300, name = "new" } }, { "custom", { x = 1 } },
		{ "setTetherWindowToBackground", { ignored = true } },
		{ "saveLiveViewDimensions", { width = 640 } }, { "error", nil }, { "saveLiveViewDimensions", nil } }
	task.pollForMessages(nil)
	same({ #sdk.inbox, sdk.polled }, { 5, "connection-1" }, "one taken from the connection")
	for _ = 1, 5 do task.pollForMessages(nil) end
	same(sdk.hostCalls, { { message = "availableDevicesChanged", params = false },
		{ message = "custom", params = { x = 1 } }, { message = "setTetherWindowToBackground" },
		{ message = "saveLiveViewDimensions", params = { width = 640 } }, { message = "error" },
		{ message = "saveLiveViewDimensions" } }, "host calls")
	task._hostCallback = function() error("host failure") end
	sdk.inbox = { { "custom", {} } }
	task.pollForMessages(nil)  -- must not raise
end

-- The recorded session: the replies go to the callbacks of the commands the scripts send,
-- the notifications through tetherCallback, in the order the process sent them.
local function replay()
	local recording = assert(dofile(recordingPath), "recording")
	local task = freshTask()
	task.init({}, "C:/plugins/lensbridge", nil)
	sdk.spawns[1].connected("connection-1")
	local function deliverNotifications()
		while recording[1] and recording[1].id == 0 do
			local entry = table.remove(recording, 1)
			task.tetherCallback(nil, entry.name, entry.params)
		end
	end
	local function answer(command)
		local sent = lastSent()
		same(sent.name, command, "command sent")
		local index = 1
		while recording[index] and recording[index].answers ~= command do index = index + 1 end
		local reply = recording[index]
		assert(reply, "the recording has no reply to " .. command)
		table.remove(recording, index)
		if sent.callback then sent.callback(reply.name, reply.params) end
		deliverNotifications()
	end

	task.queryDevices()
	answer("listDevices")
	same(task.queryDevices().devices[1], { id = 257, name = "D850" }, "first device from the reply")
	local connected, settings = false, nil
	task.connectDevice(nil, 257, function() connected = true end)
	answer("connectDevice")
	assert(connected, "not connected")
	task.getCameraSettings(nil, 257, function(table) settings = table end)
	answer("getCameraSettings")
	assert(settings and settings.aperture, "settings without an aperture")
	for _ = 1, 2 do
		task.doCapture(nil, 257)
		deliverNotifications()
	end

	local types = {}
	for _, call in ipairs(hostCallsNamed("fileDownloadComplete")) do
		types[#types + 1] = call.params.fileType .. " " .. call.params.status
	end
	same(table.concat(types, ", "), "jpg done, nef done, jpg done", "files in order")
	same(#hostCallsNamed("objectWasAdded"), 3, "announcements")
	local changed = hostCallsNamed("cameraSettingsChanged")
	assert(#changed >= 1 and changed[1].params.aperture, "no settings notification")
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
