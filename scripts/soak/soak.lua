-- wrk script of the soak (scripts/soak/soak.py): every request picks a page and
-- a visitor of its own, every response is counted by status and by the page
-- that answered, and each thread stops after its share of the requests.
--
-- wrk gives each thread a Lua state of its own: setup() keeps the threads, and
-- done() gathers their counts and prints them as "soak <what> <key> <count>"
-- lines for soak.py.
--
-- Arguments (after wrk's "--"): requests per thread.

-- Pages: targeted by every valid data file variant (/always, /promo...), by
-- some (/shop/...), or by none.  /news takes thousands of query strings, more
-- than the module remembers per model; the long /promo query is longer than
-- the longest URL it remembers.  The weights are the repetitions.
local pages = {
  "/always", "/always", "/always",
  "/promo", "/promo", "/promo?utm=mail&x=1",
  "/shop/1", "/shop/2", "/shop/3",
  "/", "/about", "/news?id=",
  "/promo?q=" .. string.rep("x", 3000),
}

-- Returning visitors: a fixed set of codes, some in the front end's "_js_"
-- form, some among other cookies, some in a second Cookie header.
local codes = {}
local alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"

local threads = {}
local counter = 1

function setup(thread)
  thread:set("id", counter)
  counter = counter + 1
  table.insert(threads, thread)
end

local budget = 0
local seen = 0
statuses = {}
bodies = {}

function init(args)
  budget = tonumber(args[1]) or 0
  math.randomseed(os.time() * 100 + (id or 0))
  for i = 1, 500 do
    local c = {}
    for j = 1, 16 do
      local k = math.random(#alphabet)
      c[j] = alphabet:sub(k, k)
    end
    codes[i] = table.concat(c)
  end
end

function request()
  local page = pages[math.random(#pages)]
  if page == "/news?id=" then
    page = page .. math.random(5000)
  end

  local headers = { Host = "alpha" }
  local visitor = math.random(10)
  if visitor <= 5 then
    -- new visitor: no cookie, or cookies of other sites only
    if visitor == 5 then
      headers["Cookie"] = "session=abc; theme=dark"
    end
  else
    local code = codes[math.random(#codes)]
    if visitor == 6 then
      headers["Cookie"] = "vantorellVisitorCode=_js_" .. code
    elseif visitor == 7 then
      headers["Cookie"] = "a=1; vantorellVisitorCode=" .. code .. "; b=2"
    else
      headers["Cookie"] = "vantorellVisitorCode=" .. code
    end
  end

  return wrk.format("GET", page, headers)
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  -- every file of the soak's docroot holds its own name on one line
  local name = body:match("^[^\n]*") or ""
  if name == "" then
    name = "(empty)"
  elseif #name > 64 then
    name = name:sub(1, 64)
  end
  bodies[name] = (bodies[name] or 0) + 1

  seen = seen + 1
  -- progress for soak.py, which reloads nginx at points of the run and stops
  -- wrk (SIGINT, after which wrk still reports) once every thread is done:
  -- wrk itself always waits for its -d duration
  if seen % 10000 == 0 then
    io.write(string.format("soak progress %d %d\n", id, seen))
    io.flush()
  end
  if budget > 0 and seen == budget then
    io.write(string.format("soak finished %d %d\n", id, seen))
    io.flush()
    wrk.thread:stop()
  end
end

function done(summary, latency, requests)
  local total_statuses, total_bodies = {}, {}
  for _, thread in ipairs(threads) do
    for k, v in pairs(thread:get("statuses") or {}) do
      total_statuses[k] = (total_statuses[k] or 0) + v
    end
    for k, v in pairs(thread:get("bodies") or {}) do
      total_bodies[k] = (total_bodies[k] or 0) + v
    end
  end
  for k, v in pairs(total_statuses) do
    io.write(string.format("soak status %s %d\n", tostring(k), v))
  end
  for k, v in pairs(total_bodies) do
    io.write(string.format("soak body %s %d\n", (k:gsub("%s", "_")), v))
  end
  local e = summary.errors
  io.write(string.format("soak summary requests %d\n", summary.requests))
  io.write(string.format("soak summary duration_us %d\n", summary.duration))
  io.write(string.format("soak summary bytes %d\n", summary.bytes))
  io.write(string.format("soak errors connect %d\n", e.connect))
  io.write(string.format("soak errors read %d\n", e.read))
  io.write(string.format("soak errors write %d\n", e.write))
  io.write(string.format("soak errors status %d\n", e.status))
  io.write(string.format("soak errors timeout %d\n", e.timeout))
  io.write(string.format("soak latency p50_us %d\n", latency:percentile(50)))
  io.write(string.format("soak latency p99_us %d\n", latency:percentile(99)))
  io.write(string.format("soak latency max_us %d\n", latency.max))
end
