-- The host's half of the tether plug-in: starts lensbridge.exe, keeps it running, sends it
-- the host's commands and turns its notifications into calls of the host's callback.
--
-- The host's scripting SDK provides the Hx modules; a logger is made by calling HxLogger with
-- its name.
local HxLogger = require "HxLogger"
local HxPathUtils = require "HxPathUtils"
local HxFileUtils = require "HxFileUtils"
local HxRemoteCommunication = require "HxRemoteCommunication"
local HxTableUtils = require "HxTableUtils"
local LensBridgeUtils = require "LensBridgeUtils"

local logger = HxLogger("LensBridgeTask")

local kConnectionName = "lensbridge"

local LensBridgeTask = {}

local function callHost(message, params)
	if LensBridgeTask._hostCallback then
		LensBridgeTask._hostCallback(message, params)
	end
end

local function send(messageName, params, callback)
	HxRemoteCommunication.sendMessageToServer(LensBridgeTask._serverConnection, messageName,
		params, callback)
end

-- The executable beside the plug-in (Windows), or inside its bundle (macOS).
local function executablePath(pluginPath)
	if not MAC_ENV then
		return pluginPath .. "/lensbridge.exe"
	end
	if DEBUG then
		local debugPath = HxPathUtils.child(pluginPath,
			"../../../../../lensbridge/Debug/lensbridge.app/Contents/MacOS/lensbridge")
		logger:trace("debug build - testing: " .. tostring(debugPath))
		if HxFileUtils.exists(debugPath) == "file" then
			return debugPath
		end
	end
	return HxPathUtils.child(pluginPath, "Contents/PlugIns/lensbridge.app/Contents/MacOS/lensbridge")
end

-- Starts the tether process and connects to it; a process that ends is started again at once.
local function launchAndConnectToLensBridgeServer(pluginPath, callback)
	local path = executablePath(pluginPath)
	logger:trace("launching plugin app with path: " .. tostring(path))
	HxRemoteCommunication.spawnTaskAndConnect(kConnectionName, path,
		function(serverRef)
			logger:trace("launchAndConnectToLensBridgeServer - serverRef: " .. tostring(serverRef))
			LensBridgeTask._serverConnection = serverRef
			LensBridgeTask.processAlive = true
			if callback then
				callback(serverRef ~= nil)
			end
		end,
		function()
			LensBridgeTask.liveViewOn = false
			LensBridgeTask.processAlive = false
			launchAndConnectToLensBridgeServer(pluginPath, callback)
		end)
end

function LensBridgeTask.init(propertyTable, pluginPath, callback)
	logger:trace("plugin path: " .. tostring(pluginPath) .. " callback: " .. tostring(callback))
	LensBridgeTask._connectedToPluginApp = false
	LensBridgeTask._sentListDevicesMessage = false
	LensBridgeTask.liveViewOn = false
	LensBridgeTask.processAlive = false
	LensBridgeTask._propertyTable = propertyTable
	launchAndConnectToLensBridgeServer(pluginPath, callback)
end

function LensBridgeTask.shutdown()
	if LensBridgeTask._serverConnection then
		logger:trace("LensBridgeTask.shutdown")
		HxRemoteCommunication.closeNamedConnection(LensBridgeTask._serverConnection, kConnectionName)
	end
end

function LensBridgeTask.setCallback(_, callback)
	LensBridgeTask._hostCallback = callback
end

function LensBridgeTask.isProcessAlive()
	return LensBridgeTask.processAlive
end

local function listDevicesCallback(result, params)
	logger:tracef("listDevicesCallback called with result: %s", tostring(result))
	if result == "ok" then
		local properties = LensBridgeTask._propertyTable
		properties.availableDevices = params and params.devices or {}
		callHost("availableDevicesChanged")
		HxTableUtils.debugDumpTable(properties.availableDevices, "Device Table")
	end
end

function LensBridgeTask.queryDevices()
	logger:trace("LensBridgeTask.queryDevices")
	if not LensBridgeTask._connectedToPluginApp then
		if LensBridgeTask._serverConnection then
			LensBridgeTask._connectedToPluginApp = true
		else
			return
		end
	end
	logger:trace("LensBridgeTask.queryDevices : 1")
	if not LensBridgeTask._sentListDevicesMessage then
		logger:trace("LensBridgeTask.queryDevices: sending message to server with callback:")
		send("listDevices", {}, listDevicesCallback)
		LensBridgeTask._sentListDevicesMessage = true
	end
	local available = LensBridgeTask._propertyTable and LensBridgeTask._propertyTable.availableDevices
	if available then
		local devices = {}
		for _, entry in ipairs(available) do
			devices[#devices + 1] = { id = entry.device_id, name = entry.name }
		end
		return { status = "ok", devices = devices }
	end
	return { status = "notReady" }
end

function LensBridgeTask.connectDevice(_, deviceId, callback)
	logger:trace("LensBridgeTask.connectDevice")
	local available = LensBridgeTask._propertyTable and LensBridgeTask._propertyTable.availableDevices
	if available then
		for _, entry in ipairs(available) do
			if entry.device_id == deviceId then
				LensBridgeTask._connectedDevice = entry
			end
		end
	end
	local function openDeviceCallback(result, params)
		if result == "ok" then
			logger:trace("openDeviceCallback - ok ")
			LensBridgeTask._sessionId = params and params._sessionId
			if callback and not (params and params.error_code) then
				callback()
			end
		elseif result == "error" then
			logger:trace("openDeviceCallback - error ")
			if not params then
				logger:trace("openDeviceCallback - no result data from native")
			else
				if params.error_code then
					logger:tracef("openDeviceCallback - error_code is : %d", params.error_code)
				end
				if params.error_description then
					logger:tracef("openDeviceCallback - error_description is : %s", params.error_description)
				end
			end
		end
	end
	send("connectDevice", { device_id = deviceId }, openDeviceCallback)
	return { status = "ok" }
end

function LensBridgeTask.disconnectDevice(_, deviceId)
	logger:trace("LensBridgeTask.disconnectDevice")
	send("disconnectDevice", { device_id = deviceId }, nil)
end

-- A reply handler that hands the status of an "ok" reply to `callback`, when there is one.
local function statusTo(callback)
	return function(result, params)
		if result == "ok" and callback then
			callback(params and params.status)
		end
	end
end

function LensBridgeTask.enableLogging(_, callback)
	send("enableLogging", {}, statusTo(callback))
	return { status = "ok" }
end

function LensBridgeTask.getCameraSettings(_, deviceId, callback)
	logger:trace("LensBridgeTask.getCameraSettings")
	send("getCameraSettings", { device_id = deviceId }, function(result, params)
		if not callback then
			return
		end
		if result == "error" then
			callback(nil, params and params.error_code)
		else
			callback(params)
		end
	end)
end

function LensBridgeTask.setCameraSettings(_, deviceId, key, value)
	logger:trace("LensBridgeTask.setCameraSettings")
	send("updateCameraSetting", { device_id = deviceId, param_key = key, param_value = value },
		function(result, params)
			logger:trace("LensBridgeTask.setCameraSettings: received result - " .. tostring(result))
		end)
end

function LensBridgeTask.setManualFocusTimeGap(_, timeGap, callback)
	logger:trace("LensBridgeTask.setManualFocusTimeGap")
	send("setManualFocusTimeGap", { time_gap = timeGap }, function()
		if callback then
			callback()
		end
	end)
end

function LensBridgeTask.doCapture(_, deviceId)
	logger:trace("LensBridgeTask.doCapture")
	send("doCapture", { device_id = deviceId }, nil)
	return { status = "ok" }
end

function LensBridgeTask.toggleLiveView(_, deviceId, windowLevel, height, width, posX, posY, title)
	logger:trace("LensBridgeTask.toggleLiveView")
	logger:info("toggleLiveView")
	send("toggleLiveView", {
		device_id = deviceId,
		window_level = windowLevel,
		height = height,
		width = width,
		pos_x = posX,
		pos_y = posY,
		title = title,
	}, function(result)
		if result == "ok" then
			LensBridgeTask.liveViewOn = not LensBridgeTask.liveViewOn
		end
	end)
	return { status = "ok" }
end

function LensBridgeTask.setCameraFocus(_, direction, value)
	logger:trace("LensBridgeTask.setCameraFocus")
	send("setCameraFocus", { focus_direction = direction, focus_val = value }, function(result)
		if result == "ok" then
			logger:trace("setCameraFocus -ok")
		end
	end)
	return { status = "ok" }
end

function LensBridgeTask.isLiveViewOn(_, deviceId, callback)
	logger:info("isLiveViewOn")
	send("isLiveViewOn", { device_id = deviceId }, statusTo(callback))
	return { status = "ok" }
end

function LensBridgeTask.doAutoFocus(_, callback)
	logger:trace("LensBridgeTask.doAutoFocus")
	send("doAutoFocus", {}, function(result, params)
		if result == "ok" then
			logger:trace("doAutoFocus -ok")
			if callback then
				callback(params and params.status)
			end
		end
	end)
	return { status = "ok" }
end

-- Showing and hiding the window are passed on while live view is on, and dropped otherwise.
local function liveViewWindowCommand(name)
	return function(_, deviceId)
		logger:trace("LensBridgeTask." .. name)
		if LensBridgeTask.liveViewOn then
			send(name, { device_id = deviceId }, nil)
		end
	end
end
LensBridgeTask.showLiveViewWindow = liveViewWindowCommand("showLiveViewWindow")
LensBridgeTask.hideLiveViewWindow = liveViewWindowCommand("hideLiveViewWindow")

function LensBridgeTask.closeLiveViewWindow(_, deviceId)
	logger:trace("LensBridgeTask.closeLiveViewWindow")
	logger:tracef("closeLiveViewWindow LensBridgeTask %d", tonumber(deviceId) or 0)
	if not LensBridgeTask.liveViewOn then
		logger:trace("returning")
		return
	end
	send("closeLiveViewWindow", { device_id = deviceId }, nil)
	logger:trace("done")
end

function LensBridgeTask.startDownload(_, captureId)
	logger:trace("LensBridgeTask.startDownload")
	local device = LensBridgeTask._connectedDevice
	local capture = device and device.captures and device.captures[captureId]
	if not capture then
		return
	end
	send("startDownload", { capture_id = captureId }, function(result, params)
		if result == "error" then
			capture.errorCode = params
		end
	end)
end

-- The capture entry of the connected device for a notification, created when missing; nil
-- (with the error line) when no device is connected.
local function captureEntry(params)
	local device = LensBridgeTask._connectedDevice
	if not device then
		logger:error("LensBridgeTask.tetherCallback: Could not locate device.")
		return nil
	end
	device.captures = device.captures or {}
	local captureId = params and params.capture_id
	if captureId ~= nil and not device.captures[captureId] then
		device.captures[captureId] = {}
	end
	return device, captureId
end

function LensBridgeTask.tetherCallback(receiver, message, params)
	logger:trace("LensBridgeTask.tetherCallback - message: " .. tostring(message))
	-- The fields are read from an empty table when the payload is nil, but what is passed on
	-- as it came is the payload itself: a nil stays nil for the host.
	local payload = params
	params = params or {}
	local properties = LensBridgeTask._propertyTable or {}
	if message == "objectWasAdded" then
		if not LensBridgeTask._hostCallback then
			return
		end
		local device, captureId = captureEntry(params)
		if not device then
			return
		end
		logger:tracef("objectWasAdded - device %s, device.captures = %s, device.captures[%s] = %s",
			tostring(device), tostring(device.captures), tostring(captureId),
			tostring(captureId ~= nil and device.captures[captureId] or nil))
		callHost("objectWasAdded", params)
	elseif message == "fileDownloadComplete" then
		if not LensBridgeTask._hostCallback then
			return
		end
		if not captureEntry(params) then
			return
		end
		logger:trace("LensBridgeTask.tetherCallback - fileDownloadComplete: " .. tostring(params.file_path))
		callHost("fileDownloadComplete", {
			captureId = params.capture_id,
			filePath = params.file_path,
			fileType = params.file_path and HxPathUtils.extension(params.file_path),
			fileDownloadTime = params.file_download_time,
			status = "done",
		})
	elseif message == "deviceAdded" then
		logger:trace("LensBridgeTask.tetherCallback - deviceAdded: " .. tostring(params.device_id))
		local available = properties.availableDevices
		if available then
			local alreadyPresent = false
			for _, entry in ipairs(available) do
				if entry.device_id == params.device_id then
					alreadyPresent = true
				end
			end
			if not alreadyPresent then
				available[#available + 1] = params
			end
			HxTableUtils.debugDumpTable(available, "Device Table")
			logger:trace("- deviceAdded forceUpdate: " .. tostring(alreadyPresent))
			callHost("availableDevicesChanged", alreadyPresent)
		end
	elseif message == "deviceRemoved" then
		logger:trace("LensBridgeTask.tetherCallback - deviceRemoved: " .. tostring(params.device_id))
		local available = properties.availableDevices
		if params.device_id ~= nil and available then
			for index, entry in ipairs(available) do
				if entry.device_id == params.device_id then
					table.remove(available, index)
					callHost("availableDevicesChanged")
					break
				end
			end
		end
	elseif message == "cameraSettingsChanged" then
		callHost("cameraSettingsChanged", LensBridgeUtils.postProcessCameraSettings(params))
	elseif message == "liveViewImage" then
		callHost("liveViewImage", params.image)
	elseif message == "LiveViewStatusChanged" then
		LensBridgeTask.liveViewOn = not LensBridgeTask.liveViewOn
		callHost("LiveViewStatusChanged", params.status)
	elseif message == "setTetherWindowToBackground" then
		callHost("setTetherWindowToBackground")
	elseif message == "saveLiveViewDimensions" then
		callHost("saveLiveViewDimensions", payload)
	else
		callHost(message, payload)
	end
end

-- A message whose handling fails (in the host's callback, say) must not stop the polling,
-- but it is logged rather than lost without a word.
function LensBridgeTask.pollForMessages(receiver)
	local ok, problem = pcall(function()
		local name, params = HxRemoteCommunication.pollForMessage(LensBridgeTask._serverConnection)
		if name then
			logger:trace("LensBridgeTask.pollForMessages() - received message: " .. tostring(name))
			LensBridgeTask.tetherCallback(receiver, name, params)
		end
	end)
	if not ok then
		logger:error("LensBridgeTask.pollForMessages: a message could not be handled: " .. tostring(problem))
	end
end

return LensBridgeTask
