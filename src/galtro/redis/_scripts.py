# pyright: strict
"""The server-side scripts of the Redis state, and the layout of its keys.

Every method of the state is one script, run with EVALSHA, so each call is one round
trip (a drain then deletes its request record) and either changes everything it
changes or nothing. Scripts read the server's
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
  client that retries a call whose reply was lost does not apply it twice. The record
  of a drain holds the drained messages: the client deletes it as soon as the reply
  has arrived, so it outlives the call only where the client died or lost the
  connection before it could.

A broadcast writes the inbox of every agent in ``statuses``: keys it finds inside the
script and so cannot declare in ``KEYS``. They carry the namespace's hash tag and lie in
the slot of the declared keys.

All or nothing. Every script reads and checks everything before its first write, and
the caller's permissions too: on Redis 7.0 and later, ``redis.acl_check_cmd`` for each
command it will write with, on its real keys, so that an ACL user denied one of them is
refused (``NOPERM``) before anything is written. Servers before 7.0 cannot ask: 6.x
applies its ACL rules command by command, so a user denied one of the commands that
docs/stores.md lists can see a call stop part way; such a user must be given all of them.

Memory. On Redis 7.0 and later each script declares its flags in a ``#!lua`` first
line, and a server over ``maxmemory`` refuses a script without ``allow-oom`` before it
runs. ``renew_claim``, ``release`` and the removal of delivered messages declare
``allow-oom``: they free memory or keep it level, and a block must always be able to
give up its claim. Claims, messages, broadcasts and drains are refused (``OOM``), as a
plain write is; ``inbox`` and ``status`` are ``no-writes``. Servers from 5.0 to 6.2 run
the same scripts without the first line; they refuse a script over ``maxmemory`` only
at its first write of a command that may grow memory, so each script that must be
refused makes such a write (SET, HSET, RPUSH, HSETNX) first.

Keys, agent ids, paths and contents are arbitrary bytes (UTF-8 from the caller): the
records are framed by lengths and positions, never by a separator that a text may hold.
"""

from __future__ import annotations

import hashlib
from typing import NamedTuple

from galtro._protocol import LEASE_SECONDS

REQUEST_TTL_MS = 300_000
MINIMUM_SERVER_VERSION = (5, 0)  # streams; scripts replicated by their effects


def namespace_prefix(namespace: str) -> bytes:
    """The prefix of every key of ``namespace``, hash tag included."""
    return b"galtro:{" + str.encode(namespace, "utf-8").hex().encode("ascii") + b"}:"


class Keys(NamedTuple):
    """The keys of one namespace, as the layout above names them; an inbox's key is
    ``inbox_prefix`` and the agent id."""

    prefix: bytes
    claims: bytes
    statuses: bytes
    history: bytes
    inbox_prefix: bytes


def namespace_keys(namespace: str) -> Keys:
    """The keys of ``namespace``: those of the state and of its reader."""
    prefix = namespace_prefix(namespace)
    return Keys(prefix, prefix + b"claims", prefix + b"statuses", prefix + b"history",
                prefix + b"inbox:")


class Script:
    """One script in its two forms, each with the SHA1 digest that EVALSHA runs it by:
    ``text`` for servers from 5.0 to 6.2, and ``flagged_text``, the same script after a
    ``#!lua`` line with its ``flags``, for 7.0 and later."""

    __slots__ = ("text", "sha", "flagged_text", "flagged_sha")

    def __init__(self, flags: str, body: str) -> None:
        self.text = (_SHARED + body).encode("utf-8")
        self.sha = hashlib.sha1(self.text).hexdigest()
        shebang = "#!lua flags=" + flags if flags else "#!lua"
        self.flagged_text = shebang.encode("ascii") + b"\n" + self.text
        self.flagged_sha = hashlib.sha1(self.flagged_text).hexdigest()

    def form(self, flagged: bool) -> tuple[str, bytes]:
        """The digest and text to run: flagged for a server of 7.0 or later."""
        return (self.flagged_sha, self.flagged_text) if flagged else (self.sha, self.text)


# Helpers every script starts with; the constants are LEASE_SECONDS and REQUEST_TTL_MS.
_SHARED = f"""
local LEASE_SECONDS = {LEASE_SECONDS}
local REQUEST_TTL_MS = {REQUEST_TTL_MS}
""" + r"""
-- Raises NOPERM, before the script writes anything, unless the caller's user may run
-- each command given: an array of the command's name and arguments, keys included.
-- Servers before 7.0 cannot ask, and apply their rules command by command.
local function check_permissions(...)
  if not redis.acl_check_cmd then return end
  local commands = {...}
  for i = 1, #commands do
    local command = commands[i]
    if not redis.acl_check_cmd(unpack(command)) then
      error({err = "NOPERM this user has no permissions to run the '" ..
                   string.lower(command[1]) .. "' command on the keys of this call"})
    end
  end
end

-- The history append, as check_permissions takes it.
local function history_check(stream)
  return {'XADD', stream, '*', 'kind', ''}
end

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

CLAIM = Script("", r"""
-- Claims a resource: a fresh claim, or the takeover of one whose lease ran out.
-- KEYS[1] claims, KEYS[2] statuses, KEYS[3] history, KEYS[4] request record.
-- ARGV[1] resource key, ARGV[2] agent id, ARGV[3] history bound (0: none).
-- Returns {'ok'}, or {'held', holder} while another lease is live.
local done = recorded(KEYS[4])
if done then return done end
local key, agent = ARGV[1], ARGV[2]
local maxlen = tonumber(ARGV[3])
check_permissions({'SET', KEYS[4], ''}, {'HSET', KEYS[1], key, ''},
                  {'HSET', KEYS[2], agent, ''}, history_check(KEYS[3]))
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

RENEW = Script("allow-oom", r"""
-- Starts a fresh lease on the holder's claim, expired or not.
-- KEYS[1] claims, KEYS[2] request record.
-- ARGV[1] resource key, ARGV[2] agent id.
-- Returns {'ok'}, {'absent'} or {'other', holder}.
local done = recorded(KEYS[2])
if done then return done end
local key, agent = ARGV[1], ARGV[2]
check_permissions({'SET', KEYS[2], ''}, {'HSET', KEYS[1], key, ''})
local refused = holder_refusal(KEYS[1], key, agent, KEYS[2])
if refused then return refused end
redis.call('HSET', KEYS[1], key, claim_record(server_seconds(), agent))
return record(KEYS[2], {'ok'})
""")

RELEASE = Script("allow-oom", r"""
-- Releases the holder's claim, expired or not.
-- KEYS[1] claims, KEYS[2] statuses, KEYS[3] history, KEYS[4] request record.
-- ARGV[1] resource key, ARGV[2] agent id, ARGV[3] history bound (0: none).
-- Returns {'ok'}, {'absent'} or {'other', holder}.
local done = recorded(KEYS[4])
if done then return done end
local key, agent = ARGV[1], ARGV[2]
local maxlen = tonumber(ARGV[3])
check_permissions({'SET', KEYS[4], ''}, {'HDEL', KEYS[1], key},
                  {'HSET', KEYS[2], agent, ''}, history_check(KEYS[3]))
local refused = holder_refusal(KEYS[1], key, agent, KEYS[4])
if refused then return refused end
redis.call('HDEL', KEYS[1], key)
redis.call('HSET', KEYS[2], agent, 'idle')
append_history(KEYS[3], maxlen, 'kind', 'released', 'agent', agent, 'key', key,
               'time', server_seconds())
return record(KEYS[4], {'ok'})
""")

SEND = Script("", r"""
-- Appends a message to one inbox; the addressee becomes known, "idle" if it was not.
-- KEYS[1] the addressee's inbox, KEYS[2] statuses, KEYS[3] history,
-- KEYS[4] request record.
-- ARGV[1] sender, ARGV[2] addressee, ARGV[3] content, ARGV[4] history bound (0: none).
-- Returns {'ok', timestamp}.
local done = recorded(KEYS[4])
if done then return done end
local sender, addressee, content = ARGV[1], ARGV[2], ARGV[3]
local maxlen = tonumber(ARGV[4])
check_permissions({'RPUSH', KEYS[1], ''}, {'HSETNX', KEYS[2], addressee, ''},
                  history_check(KEYS[3]), {'SET', KEYS[4], ''})
local now = server_seconds()
redis.call('RPUSH', KEYS[1], message_record(now, sender, content))
redis.call('HSETNX', KEYS[2], addressee, 'idle')
append_history(KEYS[3], maxlen, 'kind', 'message_sent', 'from', sender, 'to', addressee,
               'content', content, 'time', now)
return record(KEYS[4], {'ok', now})
""")

BROADCAST = Script("", r"""
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
local call = redis.call  -- one lookup, not one per recipient
local recipients = call('HKEYS', KEYS[1])
if call('HEXISTS', KEYS[1], sender) == 0 then table.insert(recipients, sender) end
check_permissions({'HSETNX', KEYS[1], sender, ''}, history_check(KEYS[2]),
                  {'SET', KEYS[3], ''})
if redis.acl_check_cmd then  -- every recipient's inbox, as check_permissions would
  for i = 1, #recipients do
    local inbox = inbox_prefix .. recipients[i]
    if not redis.acl_check_cmd('RPUSH', inbox, '') then
      check_permissions({'RPUSH', inbox, ''})
    end
  end
end
local now = server_seconds()
local message = message_record(now, sender, content)
redis.call('HSETNX', KEYS[1], sender, 'idle')
for i = 1, #recipients do
  call('RPUSH', inbox_prefix .. recipients[i], message)
end
append_history(KEYS[2], maxlen, 'kind', 'broadcast', 'from', sender, 'content', content,
               'time', now)
return record(KEYS[3], {'ok', now})
""")

INBOX = Script("no-writes", r"""
-- Lists an inbox without changing it.
-- KEYS[1] the inbox. Returns its message records, oldest first.
return redis.call('LRANGE', KEYS[1], 0, -1)
""")

DRAIN = Script("", r"""
-- Empties an inbox. The request record holds the drained messages until the client
-- deletes it, which it does as soon as the reply has arrived. Its SET comes first: a
-- server before 7.0 over maxmemory refuses it there, before the DEL.
-- KEYS[1] the inbox, KEYS[2] request record.
-- Returns {'ok', message records oldest first...}.
local done = recorded(KEYS[2])
if done then return done end
check_permissions({'SET', KEYS[2], ''}, {'DEL', KEYS[1]})
local reply = redis.call('LRANGE', KEYS[1], 0, -1)
table.insert(reply, 1, 'ok')
record(KEYS[2], reply)
redis.call('DEL', KEYS[1])
return reply
""")

REMOVE_DELIVERED = Script("allow-oom", r"""
-- Removes delivered messages from the front of an inbox: the longest tail of them that
-- still stands there, in order (another reader may have removed the first ones; what
-- arrived after them is never removed).
-- KEYS[1] the inbox. ARGV the delivered message records, oldest first.
-- Returns the number of records removed.
local count = #ARGV
local front = redis.call('LRANGE', KEYS[1], 0, count - 1)
local removed = 0
for k = math.min(count, #front), 1, -1 do
  local same = true
  for i = 1, k do
    if front[i] ~= ARGV[count - k + i] then same = false break end
  end
  if same then removed = k break end
end
if removed == 0 then return 0 end
check_permissions({'LTRIM', KEYS[1], '0', '-1'})
redis.call('LTRIM', KEYS[1], removed, -1)
return removed
""")

STATUS = Script("no-writes", r"""
-- An agent's status. KEYS[1] statuses. ARGV[1] agent id.
-- Returns "idle" for an agent without one.
return redis.call('HGET', KEYS[1], ARGV[1]) or 'idle'
""")
