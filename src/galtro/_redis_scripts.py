# pyright: strict
"""The server-side scripts of the Redis state, and the layout of its keys.

Every method of the state is one script, run with EVALSHA, so each call is one round
trip and either changes everything it changes or nothing. Scripts read the server's
``TIME`` (whole seconds) for every lease decision and time stamp, so clients whose
clocks disagree still agree on every lease.

Keys of a namespace, all under one prefix ``galtro:{<namespace as UTF-8, in hex>}:``.
The braces make the hex text the cluster hash tag, so every key of a namespace lies in
one slot; hex keeps ``}``, ``:`` and every other character out of the tag, so no
namespace's prefix is a prefix of another's.

* ``claims``: hash, resource key -> claim record ``"{claimed_at}:{renewed_at}:{holder}"``
  (two decimal Unix seconds, then the holder's bytes to the end of the value).
* ``statuses``: hash, agent id -> "idle" or "busy". Its fields are the agents that a
  broadcast reaches.
* ``inbox:{agent id}``: list per agent, oldest message first, each message record
  ``"{timestamp}:{sender length}:{sender}{content}"``, framed by the sender's byte
  length. Redis deletes an empty list: an agent whose inbox is empty has no key.
* ``history``: stream, one entry per event, fields ``kind`` ("claimed", "released",
  "message_sent", "broadcast") then ``agent``, ``key`` and ``time`` for a claim or
  release, ``from``, ``to``, ``content`` and ``time`` for a message, ``from``,
  ``content`` and ``time`` for a broadcast.
* ``request:{request id}``: string, the recorded reply of one call (the script's
  reply array, packed with the server's cmsgpack), kept for ``REQUEST_TTL_MS``. A call
  whose request id is recorded returns the recorded reply and changes nothing, so a
  client that retries a call whose reply was lost does not apply it twice.

A broadcast writes the inbox of every agent in ``statuses``: keys it finds inside the
script and so cannot declare in ``KEYS``. They carry the namespace's hash tag and lie in
the slot of the declared keys.

Keys, agent ids, paths and contents are arbitrary bytes (UTF-8 from the caller): the
records are framed by lengths and positions, never by a separator that a text may hold.
"""

from __future__ import annotations

import hashlib

LEASE_SECONDS = 300
REQUEST_TTL_MS = 300_000
MINIMUM_SERVER_VERSION = (5, 0)  # streams; scripts replicated by their effects


def namespace_prefix(namespace: str) -> bytes:
    """The prefix of every key of ``namespace``, hash tag included."""
    return b"galtro:{" + str.encode(namespace, "utf-8").hex().encode("ascii") + b"}:"


class Script:
    """One script's text and its SHA1 digest, the name EVALSHA runs it by."""

    __slots__ = ("text", "sha")

    def __init__(self, body: str) -> None:
        self.text = (_SHARED + body).encode("utf-8")
        self.sha = hashlib.sha1(self.text).hexdigest()


# Helpers every script starts with; the constants are LEASE_SECONDS and REQUEST_TTL_MS.
_SHARED = f"""
local LEASE_SECONDS = {LEASE_SECONDS}
local REQUEST_TTL_MS = {REQUEST_TTL_MS}
""" + r"""
-- The recorded reply of a request id, or nil if the id is new.
local function recorded(request_key)
  local packed = redis.call('GET', request_key)
  if packed then return cmsgpack.unpack(packed) end
  return nil
end

-- Records `reply` (an array of strings) under the request id, for REQUEST_TTL_MS, and
-- returns it.
local function record(request_key, reply)
  redis.call('SET', request_key, cmsgpack.pack(reply), 'PX', REQUEST_TTL_MS)
  return reply
end

local function append_history(stream, maxlen, ...)
  if maxlen > 0 then
    redis.call('XADD', stream, 'MAXLEN', '~', maxlen, '*', ...)
  else
    redis.call('XADD', stream, '*', ...)
  end
end

local function server_seconds()
  return string.format('%d', redis.call('TIME')[1])
end

local function claim_record(seconds, holder)
  return seconds .. ':' .. seconds .. ':' .. holder
end

local function message_record(seconds, sender, content)
  return seconds .. ':' .. string.len(sender) .. ':' .. sender .. content
end

-- claimed_at, renewed_at (numbers) and holder of a claim record.
local function parse_claim(stored)
  local first = string.find(stored, ':', 1, true)
  local second = string.find(stored, ':', first + 1, true)
  return tonumber(string.sub(stored, 1, first - 1)),
         tonumber(string.sub(stored, first + 1, second - 1)),
         string.sub(stored, second + 1)
end

-- The refusal, recorded under the request id, of a renewal or release of `key` by
-- `agent`: {'absent'} with no claim on it, {'other', holder} while another holds it;
-- nil when `agent` holds it.
local function holder_refusal(claims, key, agent, request_key)
  local stored = redis.call('HGET', claims, key)
  if not stored then return record(request_key, {'absent'}) end
  local _, _, holder = parse_claim(stored)
  if holder ~= agent then return record(request_key, {'other', holder}) end
  return nil
end
"""

CLAIM = Script(r"""
-- Claims a resource: a fresh claim, or the takeover of one whose lease ran out.
-- KEYS[1] claims, KEYS[2] statuses, KEYS[3] history, KEYS[4] request record.
-- ARGV[1] resource key, ARGV[2] agent id, ARGV[3] history bound (0: none).
-- Returns {'ok'}, or {'held', holder} while another lease is live.
local done = recorded(KEYS[4])
if done then return done end
local key, agent = ARGV[1], ARGV[2]
local maxlen = tonumber(ARGV[3])
local now = server_seconds()
local stored = redis.call('HGET', KEYS[1], key)
local previous = nil
if stored then
  local claimed_at, renewed_at, holder = parse_claim(stored)
  local last = math.max(claimed_at, renewed_at)
  local elapsed = 0
  if tonumber(now) > last then elapsed = tonumber(now) - last end
  if elapsed < LEASE_SECONDS then
    return record(KEYS[4], {'held', holder})
  end
  previous = holder
end
redis.call('HSET', KEYS[1], key, claim_record(now, agent))
redis.call('HSET', KEYS[2], agent, 'busy')
append_history(KEYS[3], maxlen, 'kind', 'claimed', 'agent', agent, 'key', key, 'time', now)
if previous then
  append_history(KEYS[3], maxlen, 'kind', 'released', 'agent', previous, 'key', key,
                 'time', now)
end
return record(KEYS[4], {'ok'})
""")

RENEW = Script(r"""
-- Starts a fresh lease on the holder's claim, expired or not.
-- KEYS[1] claims, KEYS[2] request record.
-- ARGV[1] resource key, ARGV[2] agent id.
-- Returns {'ok'}, {'absent'} or {'other', holder}.
local done = recorded(KEYS[2])
if done then return done end
local key, agent = ARGV[1], ARGV[2]
local refused = holder_refusal(KEYS[1], key, agent, KEYS[2])
if refused then return refused end
redis.call('HSET', KEYS[1], key, claim_record(server_seconds(), agent))
return record(KEYS[2], {'ok'})
""")

RELEASE = Script(r"""
-- Releases the holder's claim, expired or not.
-- KEYS[1] claims, KEYS[2] statuses, KEYS[3] history, KEYS[4] request record.
-- ARGV[1] resource key, ARGV[2] agent id, ARGV[3] history bound (0: none).
-- Returns {'ok'}, {'absent'} or {'other', holder}.
local done = recorded(KEYS[4])
if done then return done end
local key, agent = ARGV[1], ARGV[2]
local maxlen = tonumber(ARGV[3])
local refused = holder_refusal(KEYS[1], key, agent, KEYS[4])
if refused then return refused end
redis.call('HDEL', KEYS[1], key)
redis.call('HSET', KEYS[2], agent, 'idle')
append_history(KEYS[3], maxlen, 'kind', 'released', 'agent', agent, 'key', key,
               'time', server_seconds())
return record(KEYS[4], {'ok'})
""")

SEND = Script(r"""
-- Appends a message to one inbox; the addressee becomes known, "idle" if it was not.
-- KEYS[1] the addressee's inbox, KEYS[2] statuses, KEYS[3] history,
-- KEYS[4] request record.
-- ARGV[1] sender, ARGV[2] addressee, ARGV[3] content, ARGV[4] history bound (0: none).
-- Returns {'ok', timestamp}.
local done = recorded(KEYS[4])
if done then return done end
local sender, addressee, content = ARGV[1], ARGV[2], ARGV[3]
local maxlen = tonumber(ARGV[4])
local now = server_seconds()
redis.call('RPUSH', KEYS[1], message_record(now, sender, content))
redis.call('HSETNX', KEYS[2], addressee, 'idle')
append_history(KEYS[3], maxlen, 'kind', 'message_sent', 'from', sender, 'to', addressee,
               'content', content, 'time', now)
return record(KEYS[4], {'ok', now})
""")

BROADCAST = Script(r"""
-- Delivers one message to every agent in statuses, the sender included (it becomes
-- known, "idle" if it was not). The inbox keys are found here, under the prefix.
-- KEYS[1] statuses, KEYS[2] history, KEYS[3] request record.
-- ARGV[1] prefix of the inbox keys, ARGV[2] sender, ARGV[3] content,
-- ARGV[4] history bound (0: none).
-- Returns {'ok', timestamp}.
local done = recorded(KEYS[3])
if done then return done end
local inbox_prefix, sender, content = ARGV[1], ARGV[2], ARGV[3]
local maxlen = tonumber(ARGV[4])
local now = server_seconds()
local message = message_record(now, sender, content)
redis.call('HSETNX', KEYS[1], sender, 'idle')
local call = redis.call  -- one lookup, not one per recipient
local recipients = call('HKEYS', KEYS[1])
for i = 1, #recipients do
  call('RPUSH', inbox_prefix .. recipients[i], message)
end
append_history(KEYS[2], maxlen, 'kind', 'broadcast', 'from', sender, 'content', content,
               'time', now)
return record(KEYS[3], {'ok', now})
""")

INBOX = Script(r"""
-- Lists an inbox without changing it.
-- KEYS[1] the inbox. Returns its message records, oldest first.
return redis.call('LRANGE', KEYS[1], 0, -1)
""")

DRAIN = Script(r"""
-- Empties an inbox.
-- KEYS[1] the inbox, KEYS[2] request record.
-- Returns {'ok', message records oldest first...}.
local done = recorded(KEYS[2])
if done then return done end
local reply = redis.call('LRANGE', KEYS[1], 0, -1)
redis.call('DEL', KEYS[1])
table.insert(reply, 1, 'ok')
return record(KEYS[2], reply)
""")

REMOVE_DELIVERED = Script(r"""
-- Removes delivered messages from the front of an inbox: all of them if the inbox
-- still starts with exactly these records, else nothing (another reader removed
-- them, and what stands there now was not delivered).
-- KEYS[1] the inbox. ARGV the delivered message records, oldest first.
-- Returns the number of records removed.
local count = #ARGV
local front = redis.call('LRANGE', KEYS[1], 0, count - 1)
if #front ~= count then return 0 end
for i = 1, count do
  if front[i] ~= ARGV[i] then return 0 end
end
redis.call('LTRIM', KEYS[1], count, -1)
return count
""")

STATUS = Script(r"""
-- An agent's status. KEYS[1] statuses. ARGV[1] agent id.
-- Returns "idle" for an agent without one.
return redis.call('HGET', KEYS[1], ARGV[1]) or 'idle'
""")
