-- SWUpdate handler for images of type "zntv": the image is a static
-- zntv-upgrade, which upgrades every configured module attached to the
-- device. SWUpdate loads it with require("swupdate_handlers") from Lua's
-- search path: install it as /usr/share/lua/5.3/swupdate_handlers.lua, or
-- set LUA_PATH to the folder holding it. A host with handlers of its own
-- requires this file from its swupdate_handlers.lua instead.
--
-- The handler copies the image into SWUpdate's temporary folder, runs it
-- with --all --json and passes each line it writes (the JSON Lines events on
-- standard output, the notes on standard error) to SWUpdate's log, failure
-- events as errors; the install fails when the updater exits with anything
-- but 0. It runs on SWUpdate's installer thread, one image at a time.

require("swupdate")

local function shell_quoted(text)
  return "'" .. text:gsub("'", "'\\''") .. "'"
end

local function run_updater(path)
  local output = io.popen(shell_quoted(path) .. " --all --json 2>&1")
  if not output then
    return false, "cannot start " .. path
  end
  -- A failure event says why a module was not upgraded: it goes to the
  -- log as an error, which SWUpdate shows without -v.
  for line in output:lines() do
    if line:find('"event":"failure"', 1, true) then
      swupdate.error(line)
    else
      swupdate.info(line)
    end
  end
  local ok, how, status = output:close()
  return ok, string.format("zntv-upgrade ended with %s %s", how, tostring(status))
end

local function install_zntv(image)
  local folder = swupdate.tmpdir()
  if folder:sub(-1) ~= "/" then
    folder = folder .. "/"
  end
  -- Not the name SWUpdate extracts the image under in that same folder.
  local path = folder .. "zntv-upgrade.run"
  local err, message = image:copy2file(path)
  if err ~= 0 then
    swupdate.error("zntv: cannot copy the image to " .. path .. ": " .. tostring(message))
    return 1
  end
  -- The copy is a plain file: the updater must be made executable.
  if not os.execute("chmod 0700 " .. shell_quoted(path)) then
    swupdate.error("zntv: cannot make " .. path .. " executable")
    os.remove(path)
    return 1
  end
  local ok, outcome = run_updater(path)
  os.remove(path)
  if not ok then
    swupdate.error("zntv: " .. outcome)
    return 1
  end
  swupdate.info("zntv: every module upgraded")
  return 0
end

swupdate.register_handler("zntv", install_zntv, swupdate.HANDLER_MASK.IMAGE_HANDLER)
