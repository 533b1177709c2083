//===-- win32/RegistryPg.cpp - The registry in a PostgreSQL schema --------===//
//
// The store of an installation that spans several hosts: the whole registry
// is one schema of a PostgreSQL database (RegistryLocation.h), reached
// through libpq over one connection per process. Every Reg call is one
// round trip: reads are single prepared statements, writes are calls of
// functions that live in the schema, each one statement and so one
// transaction of its own.
//
// Writers. Every write first locks the one row of the state table (and
// counts a change there), so writers of all hosts take turns as SQLite's
// writers of one host do; a write then sees everything committed before it
// and nobody else's write can come between its checks and its change. This
// is also what makes GetNextId's read-increment-write (IncrementValue)
// atomic across hosts, where the installation mutex only orders one host's
// processes.
//
// Freshness. Every value read and every enumeration is a statement on the
// server, so a value written on one host is read by the very next read on
// another. The process keeps only key paths and their ids (the read cache),
// so that opening a key costs no round trip and open-read-close costs one.
// That cache is exact for changes made on this host: each write adds one to
// the host's change counter in the registry page (SharedSegment.h), and the
// cache is valid only while that counter stands. Another host may have
// deleted a key since, or deleted it and made it again: so a handle that an
// open took from the cache is bound only by its first call that reaches
// the server, whose statement takes the cached id while that key exists and
// else the key now at the handle's path (ERROR_FILE_NOT_FOUND when there is
// none, ERROR_ACCESS_DENIED when its restriction refuses the handle's
// access), exactly what an open at that moment would have given. A handle
// bound by a real lookup keeps its key and gets ERROR_KEY_DELETED once the
// key is gone, as on NT. LISTEN/NOTIFY was not used: a notification
// arrives some time after the commit, so it cannot promise the very next
// read.
//
// Enumeration continues from where a handle stopped when the state table's
// change counter, read in the same statement, shows that nothing was
// committed in between, and counts to the index otherwise. In a batch the
// store reads a key's subkeys and values a page at a time inside the
// batch's transaction (one snapshot) and answers the walk from them; a
// write batch makes missing keys from those copies and sends them with its
// value writes to the server in bulk at each commit point (see section 6).
//
// Volatile keys record the machine and the boot that made them; a process
// that connects purges its own machine's volatile keys of earlier boots, so
// another host's reboot never removes them.
//
// Faults. A call waits at most kBusyTimeoutMs for the server (connecting
// included) and then fails with ERROR_TIMEOUT; a lost connection fails the
// call with ERROR_REGISTRY_IO_FAILED and the next call connects again. A
// call that the server refused because it was going away, and any read,
// is tried once more on a new connection, so the first call after a server
// restart succeeds. After a fork the child leaves the parent's connection
// alone (closing it would end the parent's session) and makes its own.
//
// Schema (layout 2, made on first use by the process's store; a schema of
// layout 1 is brought to 2 then):
//   meta(name, value)        'layout' = '2'
//   state(id = 1, changes)   the writers' lock row; counts committed writes
//   keys(id, parent, name, fname, fpath, allowed, vhost, vboot)
//     names are bytea (exact bytes); fname and fpath are folded with ASCII
//     case folding by the client, so order and comparison do not depend on
//     the server's collation; roots are ids 1 to 4; vboot not null marks a
//     volatile key
//   vals(id, key, name, fname, type, data)   id: creation order; no
//     foreign key: a value is written only under the writers' lock after
//     its key was found, and goes with its key
//
// Contents:
//   1. Schema and statements
//   2. Parameters and results
//   3. The connection: connect, wait, run, errors
//   4. The schema on first use; volatile keys
//   5. Transactions and the read cache
//   6. Batches: snapshot pages and bulk writes
//   7. Keys
//   8. Values and enumeration
//   9. Whole registries
//  10. Fork
//===----------------------------------------------------------------------===//
#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Layer.h"
#include "RegistryCache.h"
#include "RegistryLocation.h"
#include "RegistryStore.h"
#include "SharedSegment.h"
#include "SysCalls.h"

namespace w32::reg {
namespace {

//===-- 1. Schema and statements ----------------------------------------===//

constexpr int kLayout = 2;
// Calls of a write batch per transaction, as the SQLite store.
constexpr int kWriteBatchCalls = 256;
// A read batch only holds a snapshot, which keeps no other host waiting.
constexpr int kReadBatchCalls = 4096;
// Rows of one kind fetched at a time for a batch's walk.
constexpr int kPageRows = 512;
// A read batch's page of subkeys also brings each subkey's own subkeys and
// values when it has at most this many of each, none longer than
// kFamilyDataBytes: a walk over a tree then costs a round trip per key
// that has subkeys, not per key.
constexpr int kFamilyRows = 32;
constexpr int kFamilyDataBytes = 512;
// Deferred value writes sent at once, and the bytes a batch keeps.
constexpr size_t kMaxPendingWrites = 2048;
// Key ids a write batch takes from the keys' sequence at a time.
constexpr int64_t kIdBlock = 64;
constexpr size_t kMaxSnapshotBytes = 8 << 20;
// Rows per statement when a whole registry is loaded.
constexpr size_t kLoadRows = 5000;

// @S stands for the quoted schema name.
constexpr const char* kSchemaSql = R"sql(
CREATE SCHEMA IF NOT EXISTS @S;
CREATE TABLE @S.meta(name text PRIMARY KEY, value text NOT NULL);
CREATE TABLE @S.state(id int PRIMARY KEY CHECK (id = 1), changes bigint NOT NULL);
INSERT INTO @S.state VALUES (1, 0);
CREATE TABLE @S.keys(
  id bigint GENERATED BY DEFAULT AS IDENTITY (START WITH 5) PRIMARY KEY,
  parent bigint REFERENCES @S.keys(id),
  name bytea NOT NULL,
  fname bytea NOT NULL,
  fpath bytea NOT NULL UNIQUE,
  allowed bigint,
  vhost text,
  vboot text,
  UNIQUE (parent, fname));
CREATE INDEX keys_volatile ON @S.keys(vhost) WHERE vboot IS NOT NULL;
CREATE TABLE @S.vals(
  id bigint GENERATED ALWAYS AS IDENTITY,
  key bigint NOT NULL,
  name bytea NOT NULL,
  fname bytea NOT NULL,
  type bigint NOT NULL,
  data bytea NOT NULL,
  PRIMARY KEY (key, id),
  UNIQUE (key, fname));
INSERT INTO @S.keys(id, parent, name, fname, fpath) VALUES
  (1, NULL, 'HKEY_CLASSES_ROOT', 'hkey_classes_root', 'hkey_classes_root'),
  (2, NULL, 'HKEY_CURRENT_USER', 'hkey_current_user', 'hkey_current_user'),
  (3, NULL, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine', 'hkey_local_machine'),
  (4, NULL, 'HKEY_USERS', 'hkey_users', 'hkey_users');
INSERT INTO @S.meta VALUES ('layout', '2');
)sql";

// Layout 1 kept each value's key as a foreign key (checked at every value
// written, which cost more than the write itself) and a third index; every
// write takes the writers' lock and checks its key first, and a key's
// values go with it in the functions below.
constexpr const char* kUpgradeSql = R"sql(
ALTER TABLE @S.vals DROP CONSTRAINT IF EXISTS vals_key_fkey;
ALTER TABLE @S.vals DROP CONSTRAINT vals_pkey;
ALTER TABLE @S.vals ADD PRIMARY KEY (key, id);
DROP INDEX IF EXISTS @S.vals_by_order;
UPDATE @S.meta SET value = '2' WHERE name = 'layout';
)sql";

// The functions, made with the schema and made again by an upgrade.
constexpr const char* kFunctionsSql = R"sql(

-- Every write starts here: the row lock orders the writers of all hosts.
CREATE OR REPLACE FUNCTION @S.reg_lock() RETURNS bigint LANGUAGE sql AS $$
  UPDATE @S.state SET changes = changes + 1 WHERE id = 1 RETURNING changes
$$;

-- The key behind a handle: 1018 when it is gone, 5 when a handle taken
-- from a cache (p_check: its access) is no longer allowed by it.
CREATE OR REPLACE FUNCTION @S.reg_key(p_key bigint, p_check bigint, OUT o_code int, OUT o_allowed bigint,
                           OUT o_volatile boolean) LANGUAGE plpgsql AS $$
#variable_conflict use_column
BEGIN
  SELECT k.allowed, k.vboot IS NOT NULL INTO o_allowed, o_volatile FROM @S.keys k WHERE k.id = p_key;
  IF NOT FOUND THEN o_code := 1018; RETURN; END IF;
  IF p_check IS NOT NULL AND o_allowed IS NOT NULL AND (p_check & ~o_allowed) <> 0 THEN o_code := 5; RETURN; END IF;
  o_code := 0;
END $$;

-- Opens base\names, making what is missing. Every check comes before the
-- first key is made (below a new key nothing exists), so a refusal
-- changes nothing.
CREATE OR REPLACE FUNCTION @S.reg_create(p_base bigint, p_check bigint, p_names bytea[], p_fnames bytea[],
                              p_fpaths bytea[], p_volatile boolean, p_host text, p_boot text,
                              OUT o_code int, OUT o_id bigint, OUT o_allowed bigint, OUT o_created boolean)
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  n int := coalesce(array_length(p_names, 1), 0);
  b record;
  r record;
  cur_vol boolean;
BEGIN
  o_created := false;
  b := @S.reg_key(p_base, p_check);
  IF b.o_code <> 0 THEN o_code := b.o_code; RETURN; END IF;
  IF n = 0 THEN o_code := 0; o_id := p_base; o_allowed := b.o_allowed; RETURN; END IF;
  -- Most calls find the key made already: that needs no lock.
  SELECT k.id, k.allowed INTO o_id, o_allowed FROM @S.keys k WHERE k.fpath = p_fpaths[n];
  IF FOUND THEN o_code := 0; RETURN; END IF;
  PERFORM @S.reg_lock();
  b := @S.reg_key(p_base, NULL);
  IF b.o_code <> 0 THEN o_code := b.o_code; RETURN; END IF;
  o_id := p_base; o_allowed := b.o_allowed; cur_vol := b.o_volatile;
  FOR i IN 1 .. n LOOP
    SELECT k.id, k.allowed, k.vboot IS NOT NULL AS vol INTO r FROM @S.keys k WHERE k.fpath = p_fpaths[i];
    IF FOUND THEN
      o_id := r.id; o_allowed := r.allowed; cur_vol := r.vol;
      CONTINUE;
    END IF;
    -- Creating is checked against the parent key's own restriction.
    IF o_allowed IS NOT NULL AND (o_allowed & 4) = 0 THEN o_code := 5; RETURN; END IF;
    IF cur_vol AND NOT p_volatile THEN o_code := 1021; RETURN; END IF;
    INSERT INTO @S.keys(parent, name, fname, fpath, vhost, vboot)
      VALUES (o_id, p_names[i], p_fnames[i], p_fpaths[i],
              CASE WHEN p_volatile THEN p_host END, CASE WHEN p_volatile THEN p_boot END)
      RETURNING id INTO o_id;
    o_allowed := NULL; cur_vol := p_volatile; o_created := true;
  END LOOP;
  o_code := 0;
END $$;

-- The key that base and p_fpath name (base itself when p_fpath is null),
-- after the lock: 2 when it is missing.
CREATE OR REPLACE FUNCTION @S.reg_target(p_base bigint, p_check bigint, p_fpath bytea,
                              OUT o_code int, OUT o_id bigint, OUT o_allowed bigint)
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  b record;
BEGIN
  PERFORM @S.reg_lock();
  b := @S.reg_key(p_base, p_check);
  IF b.o_code <> 0 THEN o_code := b.o_code; RETURN; END IF;
  o_id := p_base; o_allowed := b.o_allowed; o_code := 0;
  IF p_fpath IS NOT NULL THEN
    SELECT k.id, k.allowed INTO o_id, o_allowed FROM @S.keys k WHERE k.fpath = p_fpath;
    IF NOT FOUND THEN o_code := 2; END IF;
  END IF;
END $$;

-- NT refuses to delete a key that has subkeys, and checks DELETE against
-- the key's own restriction; values go with their key.
CREATE OR REPLACE FUNCTION @S.reg_delete_key(p_base bigint, p_check bigint, p_fpath bytea) RETURNS int
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  t record;
BEGIN
  t := @S.reg_target(p_base, p_check, p_fpath);
  IF t.o_code <> 0 THEN RETURN t.o_code; END IF;
  IF t.o_allowed IS NOT NULL AND (t.o_allowed & 65536) = 0 THEN RETURN 5; END IF;
  IF EXISTS (SELECT 1 FROM @S.keys k WHERE k.parent = t.o_id) THEN RETURN 5; END IF;
  DELETE FROM @S.vals v WHERE v.key = t.o_id;
  DELETE FROM @S.keys k WHERE k.id = t.o_id;
  RETURN 0;
END $$;

CREATE OR REPLACE FUNCTION @S.reg_restrict(p_base bigint, p_check bigint, p_fpath bytea, p_allowed bigint) RETURNS int
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  t record;
BEGIN
  t := @S.reg_target(p_base, p_check, p_fpath);
  IF t.o_code <> 0 THEN RETURN t.o_code; END IF;
  UPDATE @S.keys k SET allowed = p_allowed WHERE k.id = t.o_id;
  RETURN 0;
END $$;

-- Replacing a value keeps its row, so its place in the creation order
-- and the case of its name.
CREATE OR REPLACE FUNCTION @S.reg_set_value(p_key bigint, p_check bigint, p_name bytea, p_fname bytea,
                                 p_type bigint, p_data bytea) RETURNS int
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  b record;
BEGIN
  PERFORM @S.reg_lock();
  b := @S.reg_key(p_key, p_check);
  IF b.o_code <> 0 THEN RETURN b.o_code; END IF;
  INSERT INTO @S.vals AS v (key, name, fname, type, data) VALUES (p_key, p_name, p_fname, p_type, p_data)
    ON CONFLICT (key, fname) DO UPDATE SET type = EXCLUDED.type, data = EXCLUDED.data;
  RETURN 0;
END $$;

-- A batch's value writes at once, in the order they were made, for keys
-- that its transaction has seen under the lock (no name twice).
CREATE OR REPLACE FUNCTION @S.reg_set_values(p_keys bigint[], p_names bytea[], p_fnames bytea[], p_types bigint[],
                                  p_datas bytea[]) RETURNS int
LANGUAGE plpgsql AS $$
#variable_conflict use_column
BEGIN
  PERFORM @S.reg_lock();
  INSERT INTO @S.vals AS v (key, name, fname, type, data)
    SELECT u.k, u.n, u.f, u.t, u.d FROM unnest(p_keys, p_names, p_fnames, p_types, p_datas)
      WITH ORDINALITY AS u(k, n, f, t, d, o) ORDER BY u.o
    ON CONFLICT (key, fname) DO UPDATE SET type = EXCLUDED.type, data = EXCLUDED.data;
  RETURN 0;
END $$;

CREATE OR REPLACE FUNCTION @S.reg_delete_value(p_key bigint, p_check bigint, p_fname bytea) RETURNS int
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  b record;
BEGIN
  PERFORM @S.reg_lock();
  b := @S.reg_key(p_key, p_check);
  IF b.o_code <> 0 THEN RETURN b.o_code; END IF;
  DELETE FROM @S.vals v WHERE v.key = p_key AND v.fname = p_fname;
  IF NOT FOUND THEN RETURN 2; END IF;
  RETURN 0;
END $$;

-- The value's first bytes as a number (missing or longer than 4 bytes:
-- 0), plus one, masked, stored back as a REG_DWORD.
CREATE OR REPLACE FUNCTION @S.reg_increment(p_key bigint, p_check bigint, p_name bytea, p_fname bytea, p_mask bigint,
                                 OUT o_code int, OUT o_next bigint)
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
  b record;
  d bytea;
  n bigint := 0;
BEGIN
  PERFORM @S.reg_lock();
  b := @S.reg_key(p_key, p_check);
  IF b.o_code <> 0 THEN o_code := b.o_code; RETURN; END IF;
  SELECT v.data INTO d FROM @S.vals v WHERE v.key = p_key AND v.fname = p_fname;
  IF FOUND AND length(d) <= 4 THEN
    FOR i IN 0 .. length(d) - 1 LOOP
      n := n | (get_byte(d, i)::bigint << (8 * i));
    END LOOP;
  END IF;
  n := (n + 1) & p_mask;
  d := set_byte(set_byte(set_byte(set_byte('\x00000000'::bytea, 0, (n & 255)::int), 1, ((n >> 8) & 255)::int),
                         2, ((n >> 16) & 255)::int), 3, ((n >> 24) & 255)::int);
  INSERT INTO @S.vals AS v (key, name, fname, type, data) VALUES (p_key, p_name, p_fname, 4, d)
    ON CONFLICT (key, fname) DO UPDATE SET type = EXCLUDED.type, data = EXCLUDED.data;
  o_code := 0; o_next := n;
END $$;

-- A host's volatile keys of its earlier boots, with everything below them
-- (only volatile keys lie below a volatile key, whoever made them).
CREATE OR REPLACE FUNCTION @S.reg_purge(p_host text, p_boot text) RETURNS int
LANGUAGE plpgsql AS $$
#variable_conflict use_column
BEGIN
  IF NOT EXISTS (SELECT 1 FROM @S.keys k WHERE k.vboot IS NOT NULL AND k.vhost = p_host AND k.vboot <> p_boot) THEN
    RETURN 0;
  END IF;
  PERFORM @S.reg_lock();
  WITH RECURSIVE doomed(id) AS (
    SELECT k.id FROM @S.keys k WHERE k.vboot IS NOT NULL AND k.vhost = p_host AND k.vboot <> p_boot
    UNION SELECT c.id FROM @S.keys c JOIN doomed d ON c.parent = d.id),
  gone AS (DELETE FROM @S.vals v USING doomed d WHERE v.key = d.id)
  DELETE FROM @S.keys k USING doomed d WHERE k.id = d.id;
  RETURN 1;
END $$;
)sql";

enum StatementId {
    kOpenKey,
    kGetValue,
    kEnumKey,
    kEnumValue,
    kFetch,
    kCreate,
    kDeleteKey,
    kRestrict,
    kSetValue,
    kDeleteValue,
    kIncrement,
    kBind,
    kPurge,
    kReadKeys,
    kReadValues,
    kLoadKeys,
    kLoadValues,
    kHoldsAnything,
    kReserveIds,
    kFlush,
    kStatementCount
};

// A handle's key is found by "COALESCE((id), (path))": its id while that
// key exists; for a handle that an open took from the cache (its folded
// path given), else the key now at its path; NULL when there is none.
constexpr const char* kStatementSql[kStatementCount] = {
    // base exists, its restriction; the target's id and restriction
    /* kOpenKey */
    "SELECT b.id IS NOT NULL, b.allowed, t.id, t.allowed, b.id FROM (SELECT COALESCE("
    " (SELECT x.id FROM @S.keys x WHERE x.id = $1::bigint), (SELECT x.id FROM @S.keys x WHERE x.fpath = $3::bytea)"
    ") AS id) p"
    " LEFT JOIN @S.keys b ON b.id = p.id LEFT JOIN @S.keys t ON t.fpath = $2::bytea",
    /* kGetValue */
    "SELECT k.allowed, v.type, v.data, k.id FROM @S.keys k"
    " LEFT JOIN @S.vals v ON v.key = k.id AND v.fname = $2::bytea WHERE k.id = COALESCE("
    " (SELECT x.id FROM @S.keys x WHERE x.id = $1::bigint), (SELECT x.id FROM @S.keys x WHERE x.fpath = $3::bytea))",
    // The next name after a cursor when nothing changed ($2: the change
    // count it was found at), else the name at the offset.
    /* kEnumKey */
    "SELECT s.changes, k.id IS NOT NULL, k.allowed,"
    " CASE WHEN s.changes = $2::bigint"
    "  THEN (SELECT c.name FROM @S.keys c WHERE c.parent = $1::bigint AND c.fname >= $3::bytea"
    "        ORDER BY c.fname LIMIT 1)"
    "  ELSE (SELECT c.name FROM @S.keys c WHERE c.parent = $1::bigint ORDER BY c.fname LIMIT 1 OFFSET $4::bigint)"
    " END"
    " FROM @S.state s LEFT JOIN @S.keys k ON k.id = $1::bigint WHERE s.id = 1",
    /* kEnumValue */
    "SELECT s.changes, k.id IS NOT NULL, k.allowed, v.id, v.name, v.type, v.data"
    " FROM @S.state s LEFT JOIN @S.keys k ON k.id = $1::bigint LEFT JOIN LATERAL ("
    "  (SELECT x.id, x.name, x.type, x.data FROM @S.vals x"
    "   WHERE s.changes = $2::bigint AND x.key = $1::bigint AND x.id >= $3::bigint ORDER BY x.id LIMIT 1)"
    "  UNION ALL"
    "  (SELECT x.id, x.name, x.type, x.data FROM @S.vals x"
    "   WHERE s.changes <> $2::bigint AND x.key = $1::bigint ORDER BY x.id LIMIT 1 OFFSET $4::bigint)"
    " ) v ON true WHERE s.id = 1",
    // A page of a key's subkeys (kind 0) and values (kind 1), and the key
    // itself (kind 2); the fifth column of a key is 1 when it is volatile.
    // With $7 above 0, also the first $7 subkeys (kind 3) and values (kind
    // 4) of each subkey in the page, their owner in the seventh column, a
    // value's data NULL when it is longer than $8 bytes.
    /* kFetch */
    "WITH c AS MATERIALIZED (SELECT * FROM @S.keys c WHERE $5::boolean AND c.parent = $1::bigint"
    "  AND c.fname >= $2::bytea ORDER BY c.fname LIMIT $4::bigint)"
    " SELECT 2, k.id, NULL::bytea, k.allowed, (k.vboot IS NOT NULL)::int::bigint, NULL::bytea, NULL::bigint"
    " FROM @S.keys k WHERE k.id = $1::bigint"
    " UNION ALL SELECT 0, c.id, c.name, c.allowed, (c.vboot IS NOT NULL)::int::bigint, NULL, NULL FROM c"
    " UNION ALL SELECT 1, v.id, v.name, NULL, v.type, v.data, NULL FROM"
    "  (SELECT * FROM @S.vals v WHERE $6::boolean AND v.key = $1::bigint AND v.id >= $3::bigint"
    "   ORDER BY v.id LIMIT $4::bigint) v"
    " UNION ALL SELECT 3, g.id, g.name, g.allowed, (g.vboot IS NOT NULL)::int::bigint, NULL, c.id FROM c"
    "  CROSS JOIN LATERAL (SELECT * FROM @S.keys g WHERE $7::bigint > 0 AND g.parent = c.id"
    "   ORDER BY g.fname LIMIT $7::bigint) g"
    " UNION ALL SELECT 4, w.id, w.name, NULL, w.type, CASE WHEN length(w.data) <= $8::bigint THEN w.data END, c.id"
    "  FROM c CROSS JOIN LATERAL (SELECT * FROM @S.vals w WHERE $7::bigint > 0 AND w.key = c.id"
    "   ORDER BY w.id LIMIT $7::bigint) w",
    /* kCreate */ "SELECT * FROM @S.reg_create($1, $2, $3, $4, $5, $6, $7, $8)",
    /* kDeleteKey */ "SELECT @S.reg_delete_key($1, $2, $3)",
    /* kRestrict */ "SELECT @S.reg_restrict($1, $2, $3, $4)",
    /* kSetValue */ "SELECT @S.reg_set_value($1, $2, $3, $4, $5, $6)",
    /* kDeleteValue */ "SELECT @S.reg_delete_value($1, $2, $3)",
    /* kIncrement */ "SELECT * FROM @S.reg_increment($1, $2, $3, $4, $5)",
    /* kBind */ "SELECT k.id, k.allowed FROM @S.keys k WHERE k.id = COALESCE("
    " (SELECT x.id FROM @S.keys x WHERE x.id = $1::bigint), (SELECT x.id FROM @S.keys x WHERE x.fpath = $2::bytea))",
    /* kPurge */ "SELECT @S.reg_purge($1, $2)",
    /* kReadKeys */ "SELECT id, parent, name, allowed FROM @S.keys WHERE vboot IS NULL ORDER BY id",
    /* kReadValues */
    "SELECT v.key, v.name, v.type, v.data FROM @S.vals v JOIN @S.keys k ON k.id = v.key"
    " WHERE k.vboot IS NULL ORDER BY v.id",
    /* kLoadKeys */
    "INSERT INTO @S.keys(id, parent, name, fname, fpath, allowed)"
    " SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::bytea[], $4::bytea[], $5::bytea[], $6::bigint[])",
    /* kLoadValues */
    "INSERT INTO @S.vals(key, name, fname, type, data)"
    " SELECT u.k, u.n, u.f, u.t, u.d FROM unnest($1::bigint[], $2::bytea[], $3::bytea[], $4::bigint[], $5::bytea[])"
    "  WITH ORDINALITY AS u(k, n, f, t, d, o) ORDER BY u.o",
    /* kHoldsAnything */ "SELECT EXISTS (SELECT 1 FROM @S.keys WHERE id > 4) OR EXISTS (SELECT 1 FROM @S.vals)",
    // Ids for keys a batch makes: the sequence never hands them out again.
    /* kReserveIds */
    "SELECT nextval(pg_get_serial_sequence('@S.keys', 'id')) FROM generate_series(1, $1::bigint)",
    // A write batch's keys and value writes, in the order they were made,
    // for keys its transaction has seen or made under the writers' lock (no
    // name twice). A key's parent is checked at the end of the statement,
    // when the keys are in. The values of a key that goes in here ($11: 1)
    // have no row to replace, and are inserted without looking for one.
    /* kFlush */
    "WITH k AS (INSERT INTO @S.keys(id, parent, name, fname, fpath)"
    "  SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::bytea[], $4::bytea[], $5::bytea[])),"
    " u AS (SELECT * FROM unnest($6::bigint[], $7::bytea[], $8::bytea[], $9::bigint[], $10::bytea[], $11::bigint[])"
    "  WITH ORDINALITY AS u(k, n, f, t, d, fresh, o)),"
    " fresh AS (INSERT INTO @S.vals(key, name, fname, type, data)"
    "  SELECT u.k, u.n, u.f, u.t, u.d FROM u WHERE u.fresh = 1 ORDER BY u.o)"
    " INSERT INTO @S.vals AS v (key, name, fname, type, data)"
    " SELECT u.k, u.n, u.f, u.t, u.d FROM u WHERE u.fresh = 0 ORDER BY u.o"
    " ON CONFLICT (key, fname) DO UPDATE SET type = EXCLUDED.type, data = EXCLUDED.data",
};

std::string WithSchema(const char* sql, const std::string& schema) {
    std::string text(sql);
    for (size_t at = 0; (at = text.find("@S", at)) != std::string::npos; at += schema.size()) {
        text.replace(at, 2, schema);
    }
    return text;
}

// The machine and the boot volatile keys belong to.
std::string ReadFirstLine(const char* path) {
    int fd = Sys().open(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return {};
    char buf[128];
    ssize_t n = Sys().read(fd, buf, sizeof buf);
    Sys().close(fd);
    if (n <= 0) return {};
    std::string line(buf, static_cast<size_t>(n));
    line.resize(line.find_first_of("\r\n") == std::string::npos ? line.size() : line.find_first_of("\r\n"));
    return line;
}

std::string MachineId() {
    std::string id = ReadFirstLine("/etc/machine-id");
    if (id.empty()) {
        char host[256] = {};
        if (MachineHostName(host, sizeof host)) id = std::string("host:") + host;
    }
    return id;
}

//===-- 2. Parameters and results ---------------------------------------===//
//
// Everything crosses the wire in binary: integers big-endian, bytea as its
// bytes, arrays in the server's array format.

constexpr unsigned kInt8Oid = 20;
constexpr unsigned kByteaOid = 17;

void PutBig32(std::string* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) *out += char((v >> shift) & 0xFF);
}

void PutBig64(std::string* out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) *out += char((v >> shift) & 0xFF);
}

uint64_t GetBig(const char* p, int size) {
    uint64_t v = 0;
    for (int i = 0; i < size; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// The parameters of one statement; they own their bytes.
class Params {
public:
    Params& Int(int64_t v) {
        std::string s;
        PutBig64(&s, uint64_t(v));
        return Add(std::move(s));
    }
    Params& Int(std::optional<int64_t> v) { return v ? Int(*v) : Null(); }
    Params& Bool(bool v) { return Add(std::string(1, v ? '\1' : '\0')); }
    Params& Bytes(std::string_view v) { return Add(std::string(v)); }
    Params& Null() {
        m_values.emplace_back();
        m_null.push_back(true);
        return *this;
    }
    // One-dimensional arrays; nullopt elements are NULL.
    Params& Int8Array(const std::vector<std::optional<int64_t>>& items) {
        std::string s;
        ArrayHeader(&s, kInt8Oid, items.size(), items);
        for (const auto& item : items) {
            if (!item) {
                PutBig32(&s, 0xFFFFFFFFu);
                continue;
            }
            PutBig32(&s, 8);
            PutBig64(&s, uint64_t(*item));
        }
        return Add(std::move(s));
    }
    Params& ByteaArray(const std::vector<std::string_view>& items) {
        std::string s;
        ArrayHeader(&s, kByteaOid, items.size(), std::vector<std::optional<int64_t>>());
        for (std::string_view item : items) {
            PutBig32(&s, uint32_t(item.size()));
            s += item;
        }
        return Add(std::move(s));
    }

    int Count() const { return int(m_values.size()); }
    void Fill(std::vector<const char*>* values, std::vector<int>* lengths, std::vector<int>* formats) const {
        for (size_t i = 0; i < m_values.size(); ++i) {
            values->push_back(m_null[i] ? nullptr : m_values[i].data());
            lengths->push_back(int(m_values[i].size()));
            formats->push_back(1);
        }
    }

private:
    Params& Add(std::string s) {
        m_values.push_back(std::move(s));
        m_null.push_back(false);
        return *this;
    }
    static void ArrayHeader(std::string* s, unsigned oid, size_t count,
                            const std::vector<std::optional<int64_t>>& items) {
        const bool nulls = std::any_of(items.begin(), items.end(), [](const auto& i) { return !i; });
        PutBig32(s, 1);  // dimensions
        PutBig32(s, nulls ? 1 : 0);
        PutBig32(s, oid);
        PutBig32(s, uint32_t(count));
        PutBig32(s, 1);  // lower bound
    }
    std::vector<std::string> m_values;
    std::vector<bool> m_null;
};

// A result; binary columns read by position.
class Result {
public:
    Result() = default;
    explicit Result(PGresult* r) : m_result(r) {}
    ~Result() { PQclear(m_result); }
    Result(Result&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
    Result& operator=(Result&& other) noexcept {
        std::swap(m_result, other.m_result);
        return *this;
    }
    int Rows() const { return m_result ? PQntuples(m_result) : 0; }
    bool IsNull(int row, int col) const { return PQgetisnull(m_result, row, col); }
    int64_t Int(int row, int col) const {
        const int size = PQgetlength(m_result, row, col);
        const uint64_t v = GetBig(PQgetvalue(m_result, row, col), size);
        if (size == 4) return int32_t(uint32_t(v));
        return int64_t(v);
    }
    bool Bool(int row, int col) const { return !IsNull(row, col) && PQgetvalue(m_result, row, col)[0] != 0; }
    std::string_view Bytes(int row, int col) const {
        return std::string_view(PQgetvalue(m_result, row, col), size_t(PQgetlength(m_result, row, col)));
    }
    Allowance AllowanceAt(int row, int col) const {
        if (IsNull(row, col)) return std::nullopt;
        return uint32_t(Int(row, col));
    }

private:
    PGresult* m_result = nullptr;
};

// Where a failed statement leaves the connection.
enum class Failure {
    kNone,
    kStatement,   // the server refused the statement; the session goes on
    kRefused,     // the server ended the session before it ran the statement
    kLost,        // the connection broke; the statement may or may not have run
};

//===-- The store -------------------------------------------------------===//

// A batch's copy of one key as its transaction sees it.
struct KeySnapshot {
    struct Child {
        int64_t id;
        std::string name;
        std::string fname;
        Allowance allowed;
    };
    struct Value {
        int64_t id;
        std::string name;
        std::string fname;
        DWORD type;
        std::string data;
    };
    Allowance allowed;
    bool isVolatile = false;
    bool childrenRead = false, childrenComplete = false;
    bool valuesRead = false, valuesComplete = false;
    std::vector<Child> children;
    std::vector<Value> values;
    std::unordered_map<std::string, size_t> valueAt;  // fname -> index

    // Where the subkey named fname is, or would be, in the copy.
    std::vector<Child>::const_iterator ChildAt(const std::string& fname) const {
        return std::lower_bound(children.begin(), children.end(), fname,
                                [](const Child& c, const std::string& f) { return c.fname < f; });
    }
    // The subkey named fname, if the copy has it.
    const Child* FindChild(const std::string& fname) const {
        auto it = ChildAt(fname);
        return it != children.end() && it->fname == fname ? &*it : nullptr;
    }
    // A subkey made since the copy was read: in its place when the copy
    // reaches that far (a later page would bring it from the server).
    size_t AddChild(Child child) {
        if (!childrenComplete && (children.empty() || child.fname > children.back().fname)) return 0;
        const size_t bytes = child.name.size() * 2 + sizeof(Child);
        children.insert(ChildAt(child.fname), std::move(child));
        return bytes;
    }
    void ForgetValues() {
        values.clear();
        valueAt.clear();
        valuesRead = valuesComplete = false;
    }
};

// A key made by a write batch, not sent yet.
struct PendingKey {
    int64_t id;
    int64_t parent;
    std::string name;
    std::string fname;
    std::string fpath;
};

// A value write of a batch not sent yet.
struct PendingWrite {
    int64_t key;
    std::string name;
    std::string fname;
    DWORD type;
    std::string data;
};

class PgStore final : public Store {
public:
    PgStore(const std::string& location, OpenMode mode);
    ~PgStore() override { Disconnect(); }

    LONG OpenKey(KeyObject& base, const std::string& path, bool self, KeyInfo* out) override;
    LONG CreateKey(KeyObject& base, const std::vector<std::string_view>& names, const std::string& path,
                   bool makeVolatile, KeyInfo* out, bool* created) override;
    LONG DeleteKey(KeyObject& base, const std::string* path) override;
    LONG SetRestriction(KeyObject& base, const std::string* path, Allowance allowed) override;
    LONG QueryValue(KeyObject& key, std::string_view name, ValueSink deliver) override;
    LONG SetValue(KeyObject& key, std::string_view name, DWORD type, const void* data, size_t size) override;
    LONG DeleteValue(KeyObject& key, std::string_view name) override;
    LONG IncrementValue(KeyObject& key, std::string_view name, DWORD mask, DWORD* next) override;
    LONG EnumKey(KeyObject& key, DWORD index, NameSink deliver) override;
    LONG EnumValue(KeyObject& key, DWORD index, ValueEntrySink deliver) override;
    void BeginBatch() override;
    LONG EndBatch() override;
    LONG ReadImage(RegistryImage* image) override;
    LONG LoadImage(const RegistryImage& image) override;
    void BeforeFork() override { m_lock.lock(); }
    void AfterForkParent() override { m_lock.unlock(); }
    void AfterForkChild() override;
    LONG Check() override {
        std::lock_guard<std::mutex> guard(m_lock);
        StartCall();
        return Connect();
    }
    // True once this store made its schema (TmRegCreateRegistry).
    bool MadeSchema() const { return m_schemaMade; }

private:
    enum class Txn { kNone, kRead, kWrite };
    using Clock = std::chrono::steady_clock;

    // 3. The connection.
    LONG Connect();
    void Disconnect();
    LONG Wait(bool forWrite);
    LONG Collect(Result* out, Failure* failure, bool expectRows = true);
    LONG Send(const std::string& sqlOrName, const Params* params, bool prepared);
    LONG EnsurePrepared(StatementId id, Failure* failure);
    LONG RunOnce(StatementId id, const Params& params, Result* out, Failure* failure);
    LONG Run(StatementId id, const Params& params, Result* out, bool readOnly);
    LONG RunText(const std::string& sql, Failure* failure);
    LONG MapFailure(const PGresult* result, Failure* failure);
    void StartCall() { m_deadline = Clock::now() + std::chrono::milliseconds(kBusyTimeoutMs); }

    // 4. The schema.
    LONG PrepareSchema();

    // 5. Transactions and the cache.
    template <class F>
    LONG Call(bool write, F&& body);
    LONG Enter(bool write);
    void Leave(bool write, LONG result);
    bool CacheStampNow(CacheStamp* stamp);
    LONG Confirm(KeyObject& key, const Allowance& current);
    Params& PathParam(Params& p, const KeyObject& key) const {
        return key.confirmed ? p.Null() : p.Bytes(Folded(key.path));
    }
    LONG Rebind(KeyObject& key, bool found, int64_t id);
    LONG Bind(KeyObject& key);
    int64_t Check(const KeyObject& key) const { return key.confirmed ? -1 : int64_t(key.access); }
    Params& KeyParams(Params& p, const KeyObject& key) const {
        p.Int(key.id);
        return key.confirmed ? p.Null() : p.Int(int64_t(key.access));
    }

    // 6. Batches.
    bool InOwnBatch() const { return m_batchDepth > 0 && pthread_equal(m_batchOwner, pthread_self()); }
    LONG CommitBatch();
    void AbandonBatch();
    LONG FlushPending(bool values);
    LONG Flush() { return FlushPending(true); }
    LONG FlushKeys() { return FlushPending(false); }
    bool CreateInBatch(KeyObject& base, const std::vector<std::string_view>& names, bool makeVolatile,
                       KeyInfo* out, bool* created, LONG* rc);
    KeySnapshot* Snapshot(int64_t id) {
        auto it = m_snapshot.find(id);
        return it == m_snapshot.end() ? nullptr : &it->second;
    }
    LONG Fetch(int64_t id, bool children, bool values, KeySnapshot** out);
    void SeeKey(int64_t id) {
        if (m_txn == Txn::kWrite) m_txnKeys.insert(id);
    }
    void ForgetSnapshots() {
        m_snapshot.clear();
        m_snapshotBytes = 0;
    }

    LONG SetValueNow(KeyObject& key, std::string_view name, const std::string& fname, DWORD type,
                     const void* data, size_t size);

    const RegistryLocation m_location;
    const OpenMode m_mode;
    std::string m_schema;  // quoted
    std::string m_sql[kStatementCount];
    std::mutex m_lock;
    PGconn* m_conn = nullptr;
    bool m_prepared[kStatementCount] = {};
    bool m_schemaReady = false;
    bool m_schemaMade = false;
    Clock::time_point m_deadline;
    std::string m_machine, m_boot;
    // The cache of key paths and the host's change counter it is valid for.
    ReadCache m_cache;
    std::atomic<uint64_t>* m_changes = nullptr;
    uint64_t m_changesAtEntry = 0;
    bool m_keysChanged = false;
    // The open transaction, and the batch it serves.
    Txn m_txn = Txn::kNone;
    int m_batchDepth = 0;
    pthread_t m_batchOwner{};
    int m_batchCalls = 0;
    LONG m_batchResult = ERROR_SUCCESS;
    std::unordered_map<int64_t, KeySnapshot> m_snapshot;
    size_t m_snapshotBytes = 0;
    std::set<int64_t> m_txnKeys;
    std::vector<PendingWrite> m_pending;
    std::map<std::pair<int64_t, std::string>, size_t> m_pendingAt;
    // Keys the batch's transaction made that the server has not seen yet,
    // in the order they were made, and the ids reserved for it, largest
    // first (a transaction's own: a key made under the writers' lock gets an
    // id above every key it could lie below).
    std::vector<PendingKey> m_pendingKeys;
    std::vector<int64_t> m_freeIds;
};

// Connections left behind by a fork in the child: the parent's session,
// never to be used or ended here.
std::vector<PGconn*>& AbandonedConnections() {
    static auto* list = new std::vector<PGconn*>;
    return *list;
}

void IgnoreNotice(void*, const char*) {}

PgStore::PgStore(const std::string& location, OpenMode mode)
    : m_location(ParseRegistryLocation(location)), m_mode(mode) {
    m_schema = "\"" + m_location.schema + "\"";
    for (int i = 0; i < kStatementCount; ++i) m_sql[i] = WithSchema(kStatementSql[i], m_schema);
    if (mode == OpenMode::kProcess) m_changes = RegistryPage::Instance().Changes();
}

//===-- 3. The connection -----------------------------------------------===//

LONG PgStore::Connect() {
    if (m_conn) return ERROR_SUCCESS;
    if (m_location.problem) return m_location.problem;
    const char* keywords[] = {"dbname", "fallback_application_name", nullptr};
    const char* values[] = {m_location.conninfo.c_str(), "tamarak", nullptr};
    PGconn* conn = PQconnectStartParams(keywords, values, 1);
    if (!conn) return ERROR_NOT_ENOUGH_MEMORY;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(conn) != CONNECTION_BAD && state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        if (left <= 0) {
            PQfinish(conn);
            return ERROR_TIMEOUT;
        }
        pollfd pfd = {PQsocket(conn), short(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        if (pfd.fd >= 0 && w32::Sys().poll(&pfd, 1, int(left)) < 0 && errno != EINTR) break;
        state = PQconnectPoll(conn);
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        // Refused credentials and missing rights are the caller's to fix;
        // anything else is a registry that cannot be reached.
        const char* message = PQerrorMessage(conn);
        const bool denied = strstr(message, "authentication") || strstr(message, "password") ||
                            strstr(message, "permission denied");
        PQfinish(conn);
        return denied ? ERROR_ACCESS_DENIED : ERROR_REGISTRY_IO_FAILED;
    }
    PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);
    PQsetnonblocking(conn, 1);
    m_conn = conn;
    std::fill(std::begin(m_prepared), std::end(m_prepared), false);
    // A lock that another host's writer holds is waited for as long as a
    // SQLite writer waits, and no longer.
    Failure failure = Failure::kNone;
    LONG rc = RunText("SET lock_timeout = " + std::to_string(kBusyTimeoutMs) +
                          "; SET idle_in_transaction_session_timeout = 0",
                      &failure);
    if (rc == ERROR_SUCCESS && !m_schemaReady) rc = PrepareSchema();
    if (rc == ERROR_SUCCESS && m_mode == OpenMode::kProcess) {
        if (m_machine.empty()) {
            m_machine = MachineId();
            m_boot = ReadFirstLine("/proc/sys/kernel/random/boot_id");
        }
        Result result;
        if (!m_machine.empty() && !m_boot.empty()) {
            rc = RunOnce(kPurge, Params().Bytes(m_machine).Bytes(m_boot), &result, &failure);
            if (rc == ERROR_SUCCESS && result.Rows() == 1 && result.Int(0, 0) != 0) {
                if (m_changes) m_changes->fetch_add(1);
            }
        }
    }
    if (rc != ERROR_SUCCESS) Disconnect();
    return rc;
}

void PgStore::Disconnect() {
    if (m_conn) PQfinish(m_conn);
    m_conn = nullptr;
    m_txn = Txn::kNone;
    std::fill(std::begin(m_prepared), std::end(m_prepared), false);
}

// Waits until the request is sent and its answer has arrived; a server
// that does not answer by the deadline loses the connection (it rolls
// back whatever was running) and the call gets ERROR_TIMEOUT.
LONG PgStore::Wait(bool) {
    // Right after a request is sent its answer cannot be in libpq's buffer
    // yet: the first look goes to poll, which sees an answer already on the
    // socket, and saves the read that would find nothing.
    for (bool sent = true;; sent = false) {
        const int flushed = PQflush(m_conn);
        if (flushed < 0) return ERROR_REGISTRY_IO_FAILED;
        if (flushed == 0 && !sent) {
            if (!PQconsumeInput(m_conn)) return ERROR_REGISTRY_IO_FAILED;
            if (!PQisBusy(m_conn)) return ERROR_SUCCESS;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        if (left <= 0) return ERROR_TIMEOUT;
        pollfd pfd = {PQsocket(m_conn), short(POLLIN | (flushed ? POLLOUT : 0)), 0};
        int n = w32::Sys().poll(&pfd, 1, int(std::min<long long>(left, 1000)));
        if (n < 0 && errno != EINTR) return ERROR_REGISTRY_IO_FAILED;
        if (n > 0 && (pfd.revents & POLLIN)) {
            // The server's last words (a FATAL before it closed) are read
            // by the caller from the results.
            if (!PQconsumeInput(m_conn)) return PQisBusy(m_conn) ? ERROR_REGISTRY_IO_FAILED : ERROR_SUCCESS;
            if (!PQisBusy(m_conn)) return ERROR_SUCCESS;
        }
    }
}

// The Win32 code for a failed statement, and what it means for the
// connection.
LONG PgStore::MapFailure(const PGresult* result, Failure* failure) {
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state ? state : "";
    *failure = Failure::kStatement;
    if (PQstatus(m_conn) == CONNECTION_BAD || code.empty()) *failure = Failure::kLost;
    // The server ended the session (shut down, restarted, or our backend
    // was terminated) before it ran anything of ours.
    if (code == "57P01" || code == "57P02" || code == "57P03") *failure = Failure::kRefused;
    if (code.empty() || code.compare(0, 2, "08") == 0 || code.compare(0, 3, "57P") == 0)
        return ERROR_REGISTRY_IO_FAILED;
    if (code == "55P03" || code == "57014") return ERROR_TIMEOUT;
    if (code == "53100") return ERROR_DISK_FULL;
    if (code == "53200") return ERROR_NOT_ENOUGH_MEMORY;
    if (code == "42501" || code.compare(0, 2, "28") == 0 || code == "25006") return ERROR_ACCESS_DENIED;
    if (code.compare(0, 2, "53") == 0 || code.compare(0, 2, "58") == 0) return ERROR_REGISTRY_IO_FAILED;
    // A schema that lost its tables or functions is a damaged registry; the
    // next call looks at the schema again.
    if (code.compare(0, 2, "42") == 0 || code.compare(0, 2, "3F") == 0) {
        *failure = Failure::kLost;
        m_schemaReady = false;
    }
    return ERROR_BADDB;
}

// Takes every result of the request sent last; the first failure counts.
LONG PgStore::Collect(Result* out, Failure* failure, bool) {
    LONG rc = ERROR_SUCCESS;
    *failure = Failure::kNone;
    while (PGresult* r = PQgetResult(m_conn)) {
        const ExecStatusType status = PQresultStatus(r);
        if (rc == ERROR_SUCCESS && status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            rc = MapFailure(r, failure);
        }
        if (rc == ERROR_SUCCESS && out && status == PGRES_TUPLES_OK) {
            *out = Result(r);
        } else {
            PQclear(r);
        }
        if (PQstatus(m_conn) == CONNECTION_BAD) break;
    }
    if (rc == ERROR_SUCCESS && PQstatus(m_conn) == CONNECTION_BAD) {
        rc = ERROR_REGISTRY_IO_FAILED;
        *failure = Failure::kLost;
    }
    return rc;
}

LONG PgStore::RunText(const std::string& sql, Failure* failure) {
    *failure = Failure::kLost;
    if (!PQsendQuery(m_conn, sql.c_str())) return ERROR_REGISTRY_IO_FAILED;
    LONG rc = Wait(true);
    if (rc != ERROR_SUCCESS) {
        Disconnect();
        return rc;
    }
    rc = Collect(nullptr, failure);
    if (*failure == Failure::kLost || *failure == Failure::kRefused) Disconnect();
    return rc;
}

LONG PgStore::EnsurePrepared(StatementId id, Failure* failure) {
    if (m_prepared[id]) return ERROR_SUCCESS;
    char name[16];
    snprintf(name, sizeof name, "tm%d", int(id));
    *failure = Failure::kLost;
    if (!PQsendPrepare(m_conn, name, m_sql[id].c_str(), 0, nullptr)) return ERROR_REGISTRY_IO_FAILED;
    LONG rc = Wait(false);
    if (rc != ERROR_SUCCESS) return rc;
    rc = Collect(nullptr, failure);
    if (rc == ERROR_SUCCESS) m_prepared[id] = true;
    return rc;
}

// One statement on the connection as it is. A failure that leaves the
// connection unusable closes it.
LONG PgStore::RunOnce(StatementId id, const Params& params, Result* out, Failure* failure) {
    LONG rc = EnsurePrepared(id, failure);
    if (rc == ERROR_SUCCESS) {
        char name[16];
        snprintf(name, sizeof name, "tm%d", int(id));
        std::vector<const char*> values;
        std::vector<int> lengths, formats;
        params.Fill(&values, &lengths, &formats);
        *failure = Failure::kLost;
        rc = PQsendQueryPrepared(m_conn, name, params.Count(), values.data(), lengths.data(), formats.data(), 1)
                 ? Wait(false)
                 : ERROR_REGISTRY_IO_FAILED;
        if (rc == ERROR_SUCCESS) rc = Collect(out, failure);
    }
    if (rc != ERROR_SUCCESS && *failure != Failure::kStatement) Disconnect();
    return rc;
}

// One statement, connecting first if need be. Outside a transaction, a
// read, or a statement the server refused before running it, is tried
// once more on a new connection.
LONG PgStore::Run(StatementId id, const Params& params, Result* out, bool readOnly) {
    // Every statement sees the keys the batch made so far.
    if (LONG rc = FlushKeys()) return rc;
    for (int attempt = 0;; ++attempt) {
        const bool inTransaction = m_txn != Txn::kNone;
        LONG rc = Connect();
        if (rc != ERROR_SUCCESS) return rc;
        Failure failure = Failure::kNone;
        rc = RunOnce(id, params, out, &failure);
        if (rc == ERROR_SUCCESS || failure == Failure::kStatement) return rc;
        const bool retry = !inTransaction && attempt == 0 && rc != ERROR_TIMEOUT &&
                           (readOnly || failure == Failure::kRefused);
        if (!retry) return rc;
    }
}

//===-- 4. The schema on first use; volatile keys -----------------------===//

// What the schema holds: nothing (or no schema), our registry of some
// layout, or something else. A missing schema is made by the process's
// store and by a copy's target, never for a source.
LONG PgStore::PrepareSchema() {
    Failure failure = Failure::kNone;
    const std::string probe =
        "SELECT n.oid IS NOT NULL, (SELECT count(*) FROM pg_class c WHERE c.relnamespace = n.oid),"
        " to_regclass('" + m_schema + ".meta') IS NOT NULL"
        " FROM (SELECT 1) one LEFT JOIN pg_namespace n ON n.nspname = '" + m_location.schema + "'";
    auto classify = [&](LONG* rc) -> int {
        // 0: nothing, 1: ours, 2: another program's, 3: a later layout,
        // 4: ours of an earlier layout
        *rc = PQsendQueryParams(m_conn, probe.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)
                  ? Wait(false)
                  : ERROR_REGISTRY_IO_FAILED;
        if (*rc != ERROR_SUCCESS) return 0;
        PGresult* r = nullptr;
        *rc = ERROR_SUCCESS;
        int kind = 0;
        bool hasMeta = false;
        while (PGresult* next = PQgetResult(m_conn)) {
            if (!r) {
                r = next;
            } else {
                PQclear(next);
            }
        }
        if (!r || PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1) {
            *rc = MapFailure(r, &failure);
            PQclear(r);
            return 0;
        }
        const bool objects = atoll(PQgetvalue(r, 0, 1)) != 0;
        hasMeta = PQgetvalue(r, 0, 2)[0] == 't';
        PQclear(r);
        if (!objects) return 0;
        if (!hasMeta) return 2;
        const std::string layout = "SELECT value FROM " + m_schema + ".meta WHERE name = 'layout'";
        *rc = PQsendQueryParams(m_conn, layout.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0)
                  ? Wait(false)
                  : ERROR_REGISTRY_IO_FAILED;
        if (*rc != ERROR_SUCCESS) return 0;
        r = nullptr;
        while (PGresult* next = PQgetResult(m_conn)) {
            if (!r) {
                r = next;
            } else {
                PQclear(next);
            }
        }
        if (!r || PQresultStatus(r) != PGRES_TUPLES_OK) {
            *rc = MapFailure(r, &failure);
            PQclear(r);
            return 0;
        }
        const int found = PQntuples(r) == 1 ? atoi(PQgetvalue(r, 0, 0)) : 0;
        kind = found == kLayout ? 1 : found > kLayout ? 3 : found >= 1 ? 4 : 2;
        PQclear(r);
        return kind;
    };
    LONG rc = ERROR_SUCCESS;
    int kind = classify(&rc);
    if (rc != ERROR_SUCCESS) return rc;
    if (kind == 0 && m_mode == OpenMode::kSource) return ERROR_FILE_NOT_FOUND;
    // A source is only read, which every layout of ours allows.
    if (kind == 4 && m_mode == OpenMode::kSource) kind = 1;
    if (kind == 0 || kind == 4) {
        // Processes of several hosts may meet a new schema at once: one
        // makes or upgrades it under a lock named after it, the others
        // find it done.
        rc = RunText("BEGIN; SELECT pg_advisory_xact_lock(hashtext('tamarak registry " + m_location.schema + "'))",
                     &failure);
        if (rc != ERROR_SUCCESS) return rc;
        kind = classify(&rc);
        if (rc == ERROR_SUCCESS && kind == 0) rc = RunText(WithSchema(kSchemaSql, m_schema), &failure);
        if (rc == ERROR_SUCCESS && kind == 4) rc = RunText(WithSchema(kUpgradeSql, m_schema), &failure);
        if (rc == ERROR_SUCCESS && (kind == 0 || kind == 4)) {
            rc = RunText(WithSchema(kFunctionsSql, m_schema), &failure);
            if (kind == 4) kind = 1;
        }
        if (!m_conn) return rc;
        LONG end = RunText(rc == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK", &failure);
        if (rc == ERROR_SUCCESS) rc = end;
        if (rc != ERROR_SUCCESS) return rc;
        if (kind == 0) {
            kind = 1;
            m_schemaMade = true;
        }
    }
    if (kind == 2) return ERROR_NOT_REGISTRY_FILE;
    if (kind == 3) return ERROR_BADDB;
    m_schemaReady = true;
    return ERROR_SUCCESS;
}

//===-- 5. Transactions and the read cache ------------------------------===//

// The host's change counter as a cache stamp.
bool PgStore::CacheStampNow(CacheStamp* stamp) {
    if (!m_changes) return false;
    const uint64_t now = m_changes->load(std::memory_order_acquire);
    *stamp = CacheStamp();
    stamp->words[0] = uint32_t(now);
    stamp->words[1] = uint32_t(now >> 32);
    return true;
}

// Before each call: the lock of the batch's thread or of this call, the
// batch's transaction ended when another thread calls or a read batch
// turns to writing, and a write transaction begun for a batch's write.
LONG PgStore::Enter(bool write) {
    StartCall();
    m_keysChanged = false;
    if (m_changes) m_changesAtEntry = m_changes->load(std::memory_order_acquire);
    if (m_txn != Txn::kNone && !InOwnBatch()) {
        // Another thread's call stands alone, after the batch so far.
        LONG code = CommitBatch();
        if (code != ERROR_SUCCESS) m_batchResult = code;
    } else if (m_txn == Txn::kRead && write) {
        // The first write of a batch that has only read: the snapshot ends
        // and a write transaction begins.
        CommitBatch();
    }
    if (!InOwnBatch() || m_txn != Txn::kNone) return ERROR_SUCCESS;
    LONG rc = Connect();
    if (rc != ERROR_SUCCESS) return rc;
    Failure failure = Failure::kNone;
    // A read batch sees one snapshot; a write batch holds the writers' lock
    // from its start, so that what it has seen stays as it saw it.
    rc = RunText(write ? "BEGIN; SELECT " + m_schema + ".reg_lock()" : "BEGIN ISOLATION LEVEL REPEATABLE READ",
                 &failure);
    if (rc != ERROR_SUCCESS) {
        if (m_conn) RunText("ROLLBACK", &failure);
        return rc;
    }
    m_txn = write ? Txn::kWrite : Txn::kRead;
    m_batchCalls = 0;
    return ERROR_SUCCESS;
}

// After each call: a write outside a batch is committed, so the host's
// counter moves; the cache stays if nobody else on this host wrote
// meanwhile and the write changed no key. A batch commits every so many
// calls.
void PgStore::Leave(bool write, LONG result) {
    if (write && m_txn == Txn::kNone && m_changes) {
        uint64_t expected = m_changesAtEntry;
        CacheStamp before;
        const bool valid = CacheStampNow(&before) && m_cache.ValidFor(before);
        if (valid && !m_keysChanged && m_changes->compare_exchange_strong(expected, expected + 1)) {
            CacheStamp after;
            CacheStampNow(&after);
            m_cache.Restamp(after);
        } else {
            m_changes->fetch_add(1);
            m_cache.Drop();
        }
    }
    if (write && m_txn == Txn::kWrite && m_keysChanged) m_cache.Drop();
    if (m_txn != Txn::kNone && InOwnBatch()) {
        const int limit = m_txn == Txn::kWrite ? kWriteBatchCalls : kReadBatchCalls;
        if (++m_batchCalls >= limit) {
            LONG code = CommitBatch();
            if (code != ERROR_SUCCESS) m_batchResult = code;
        }
    }
    (void)result;
}

template <class F>
LONG PgStore::Call(bool write, F&& body) {
    std::lock_guard<std::mutex> guard(m_lock);
    try {
        LONG rc = Enter(write);
        const Txn txn = m_txn;
        if (rc == ERROR_SUCCESS) rc = body();
        // A connection lost inside a batch's transaction takes the
        // transaction with it (losing the connection ended it here): the
        // batch's writes since its last commit are gone, which the batch
        // reports; a read batch only starts afresh.
        if (!m_conn && InOwnBatch() && (txn != Txn::kNone || !m_pending.empty() || !m_pendingKeys.empty())) {
            if (txn != Txn::kRead) m_batchResult = rc ? rc : ERROR_REGISTRY_IO_FAILED;
            AbandonBatch();
        }
        Leave(write, rc);
        return rc;
    } catch (const std::bad_alloc&) {
        if (m_txn != Txn::kNone) {
            m_batchResult = ERROR_NOT_ENOUGH_MEMORY;
            AbandonBatch();
        }
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

// A handle taken from the cache: the key's restriction, read now, must
// still grant what the handle holds.
LONG PgStore::Confirm(KeyObject& key, const Allowance& current) {
    if (key.confirmed) return ERROR_SUCCESS;
    if (!Allows(current, key.access)) {
        m_cache.Drop();
        return ERROR_ACCESS_DENIED;
    }
    key.confirmed = true;
    return ERROR_SUCCESS;
}

// What the server found for a handle: a handle bound by a real lookup
// whose key is gone gets ERROR_KEY_DELETED, as on NT; a handle taken from
// the cache stands for the key now at its path (another host may have
// deleted and made it again since this host last saw it) and gets
// ERROR_FILE_NOT_FOUND when there is none, as the open would have.
LONG PgStore::Rebind(KeyObject& key, bool found, int64_t id) {
    if (!found) {
        m_cache.Drop();
        return key.confirmed ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    }
    if (id != key.id) {
        key.id = id;
        key.subkeys.valid = key.values.valid = false;
        m_cache.Drop();
    }
    return ERROR_SUCCESS;
}

// Binds a handle taken from the cache before a call whose statement needs
// the key's id: one round trip, once per such handle.
LONG PgStore::Bind(KeyObject& key) {
    if (key.confirmed) return ERROR_SUCCESS;
    Result r;
    LONG rc = Run(kBind, Params().Int(key.id).Bytes(Folded(key.path)), &r, true);
    if (rc != ERROR_SUCCESS) return rc;
    if (LONG code = Rebind(key, r.Rows() == 1, r.Rows() == 1 ? r.Int(0, 0) : 0)) return code;
    return Confirm(key, r.AllowanceAt(0, 1));
}

//===-- 6. Batches: snapshot pages and bulk writes ----------------------===//
//
// A tree walked call by call would cost a round trip per call. Inside a
// batch's transaction the store knows that nothing changes under it (a
// read batch's snapshot, or a write batch that holds the writers' lock), so
// it reads a key's subkeys and values a page at a time and answers the walk
// from that copy, and it keeps the value writes to keys it has seen in this
// transaction and sends them in one statement before anything that reads
// or removes values reaches the server, and at each commit. Keys that a
// write batch makes where its copies show them missing are kept the same
// way, with ids reserved from the keys' sequence in this transaction (so a
// key's id stays above its parent's, as a whole-registry copy needs), and
// go in that statement ahead of the values, or alone before any other
// statement (CreateInBatch). A write that
// fails at that point fails the commit: the calls since the last commit
// are undone and the code is returned by the call that committed and by
// TmRegEndBatch, as the batch's contract says.

void PgStore::BeginBatch() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_batchDepth > 0 && !InOwnBatch()) return;
    if (m_batchDepth++ == 0) {
        m_batchOwner = pthread_self();
        m_batchResult = ERROR_SUCCESS;
    }
}

LONG PgStore::EndBatch() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!InOwnBatch()) return ERROR_SUCCESS;
    if (--m_batchDepth > 0) return ERROR_SUCCESS;
    StartCall();
    LONG code = m_txn != Txn::kNone ? CommitBatch() : ERROR_SUCCESS;
    if (code == ERROR_SUCCESS) code = m_batchResult;
    m_batchResult = ERROR_SUCCESS;
    return code;
}

// The keys the batch made and, with values, its value writes, in one
// statement (the keys first: the writes may refer to them). The keys are
// unrestricted and not volatile (volatile ones are made on the server at
// once). Whatever was pending is gone afterwards: on failure the server
// undoes the transaction.
LONG PgStore::FlushPending(bool values) {
    if (m_pendingKeys.empty() && (!values || m_pending.empty())) return ERROR_SUCCESS;
    std::vector<std::optional<int64_t>> ids, parents, keys, types, fresh;
    std::vector<std::string_view> names, fnames, fpaths, valueNames, valueFnames, datas;
    std::unordered_set<int64_t> made;
    for (const PendingKey& k : m_pendingKeys) {
        made.insert(k.id);
        ids.push_back(k.id);
        parents.push_back(k.parent);
        names.push_back(k.name);
        fnames.push_back(k.fname);
        fpaths.push_back(k.fpath);
    }
    for (size_t i = 0; values && i < m_pending.size(); ++i) {
        const PendingWrite& w = m_pending[i];
        keys.push_back(w.key);
        valueNames.push_back(w.name);
        valueFnames.push_back(w.fname);
        types.push_back(int64_t(w.type));
        datas.push_back(w.data);
        fresh.push_back(int64_t(made.count(w.key)));
    }
    Params params;
    params.Int8Array(ids).Int8Array(parents).ByteaArray(names).ByteaArray(fnames).ByteaArray(fpaths);
    params.Int8Array(keys).ByteaArray(valueNames).ByteaArray(valueFnames).Int8Array(types).ByteaArray(datas);
    params.Int8Array(fresh);
    Failure failure = Failure::kNone;
    LONG rc = m_conn ? RunOnce(kFlush, params, nullptr, &failure) : ERROR_REGISTRY_IO_FAILED;
    m_pendingKeys.clear();
    if (values || rc != ERROR_SUCCESS) {
        m_pending.clear();
        m_pendingAt.clear();
    }
    return rc;
}

// Ends the batch's transaction with a commit (its writes sent first); on
// failure the server has undone everything since the last commit.
LONG PgStore::CommitBatch() {
    const bool wrote = m_txn == Txn::kWrite;
    LONG rc = m_conn ? Flush() : ERROR_REGISTRY_IO_FAILED;
    Failure failure = Failure::kNone;
    if (m_conn) {
        LONG end = RunText(rc == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK", &failure);
        if (rc == ERROR_SUCCESS) rc = end;
    }
    if (wrote && m_changes) {
        m_changes->fetch_add(1);
        m_cache.Drop();
    }
    AbandonBatch();
    return rc;
}

void PgStore::AbandonBatch() {
    if (m_conn && m_txn != Txn::kNone && PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
        Failure failure = Failure::kNone;
        RunText("ROLLBACK", &failure);
    }
    m_txn = Txn::kNone;
    m_batchCalls = 0;
    m_pending.clear();
    m_pendingAt.clear();
    m_pendingKeys.clear();
    m_freeIds.clear();
    m_txnKeys.clear();
    ForgetSnapshots();
}

// Reads the next page of a key's subkeys, values, or both, into its copy.
LONG PgStore::Fetch(int64_t id, bool children, bool values, KeySnapshot** out) {
    // Keys and subkeys need only the batch's keys on the server.
    if (LONG rc = values ? Flush() : FlushKeys()) return rc;
    KeySnapshot& snap = m_snapshot[id];
    children = children && !snap.childrenComplete;
    values = values && !snap.valuesComplete;
    std::string from = snap.children.empty() ? std::string() : snap.children.back().fname + '\0';
    const int64_t after = snap.values.empty() ? 0 : snap.values.back().id + 1;
    // A read batch walks on into the subkeys: their small contents come
    // along (a write batch only looks up names).
    const bool family = children && m_txn == Txn::kRead;
    Result r;
    Failure failure = Failure::kNone;
    LONG rc = RunOnce(kFetch,
                      Params()
                          .Int(id)
                          .Bytes(from)
                          .Int(after)
                          .Int(kPageRows)
                          .Bool(children)
                          .Bool(values)
                          .Int(family ? kFamilyRows + 1 : 0)
                          .Int(kFamilyDataBytes),
                      &r, &failure);
    if (rc != ERROR_SUCCESS) {
        m_snapshot.erase(id);
        return rc;
    }
    bool exists = false;
    int childRows = 0, valueRows = 0;
    std::unordered_map<int64_t, KeySnapshot> kin;  // the page's subkeys' copies
    std::unordered_set<int64_t> tooLarge;           // subkeys with a value left out
    for (int row = 0; row < r.Rows(); ++row) {
        const int64_t kind = r.Int(row, 0);
        if (kind == 2) {
            exists = true;
            snap.allowed = r.AllowanceAt(row, 3);
            snap.isVolatile = r.Int(row, 4) != 0;
            continue;
        }
        KeySnapshot& into = kind <= 1 ? snap : kin[r.Int(row, 6)];
        std::string name(r.Bytes(row, 2));
        std::string fname = Folded(name);
        if (kind == 0 || kind == 3) {
            into.children.push_back({r.Int(row, 1), std::move(name), std::move(fname), r.AllowanceAt(row, 3)});
            if (kind == 0) {
                m_snapshotBytes += into.children.back().name.size() * 2 + sizeof(KeySnapshot::Child);
                ++childRows;
                if (family) {
                    KeySnapshot& copy = kin[r.Int(row, 1)];
                    copy.allowed = r.AllowanceAt(row, 3);
                    copy.isVolatile = r.Int(row, 4) != 0;
                }
            }
            continue;
        }
        if (r.IsNull(row, 5)) {
            tooLarge.insert(r.Int(row, 6));
            continue;
        }
        std::string data(r.Bytes(row, 5));
        if (kind == 1) m_snapshotBytes += name.size() * 2 + data.size() + sizeof(KeySnapshot::Value);
        into.valueAt.emplace(fname, into.values.size());
        into.values.push_back({r.Int(row, 1), std::move(name), std::move(fname), DWORD(r.Int(row, 4)),
                               std::move(data)});
        if (kind == 1) ++valueRows;
    }
    if (!exists) {
        m_snapshot.erase(id);
        *out = nullptr;
        return ERROR_KEY_DELETED;
    }
    // A subkey's copy is kept only for what came whole, and never over a
    // copy the batch holds already.
    for (auto& [child, copy] : kin) {
        if (m_snapshot.count(child)) continue;
        copy.childrenRead = copy.childrenComplete = copy.children.size() <= size_t(kFamilyRows);
        if (!copy.childrenRead) copy.children.clear();
        copy.valuesRead = copy.valuesComplete = copy.values.size() <= size_t(kFamilyRows) && !tooLarge.count(child);
        if (!copy.valuesRead) {
            copy.values.clear();
            copy.valueAt.clear();
        }
        for (const KeySnapshot::Child& c : copy.children) m_snapshotBytes += c.name.size() * 2 + sizeof c;
        for (const KeySnapshot::Value& v : copy.values)
            m_snapshotBytes += v.name.size() * 2 + v.data.size() + sizeof v;
        m_snapshot.emplace(child, std::move(copy));
    }
    SeeKey(id);
    // Rows arrive in their order; a short page is the last one.
    if (children) {
        snap.childrenRead = true;
        snap.childrenComplete = childRows < kPageRows;
    }
    if (values) {
        snap.valuesRead = true;
        snap.valuesComplete = valueRows < kPageRows;
    }
    *out = &snap;
    if (m_snapshotBytes > kMaxSnapshotBytes) {
        // Too much kept: start afresh, keeping only this key's copy.
        KeySnapshot keep = std::move(snap);
        ForgetSnapshots();
        *out = &(m_snapshot[id] = std::move(keep));
    }
    return ERROR_SUCCESS;
}

//===-- 7. Keys ---------------------------------------------------------===//

LONG PgStore::OpenKey(KeyObject& base, const std::string& path, bool self, KeyInfo* out) {
    return Call(false, [&]() -> LONG {
        const std::string cacheKey = KeyCacheKey(path);
        CacheStamp before;
        const bool stamped = m_txn == Txn::kNone && CacheStampNow(&before);
        if (stamped && m_cache.ValidFor(before)) {
            const CacheEntry* known = base.root ? nullptr : m_cache.Find(KeyCacheKey(base.path));
            const CacheEntry* entry = m_cache.Find(cacheKey);
            if ((base.root || (known && known->id == base.id)) && entry) {
                // Exact for this host; another host's change shows at the
                // handle's first call that reaches the server.
                out->id = entry->id;
                out->allowed = entry->allowed;
                out->confirmed = false;
                return ERROR_SUCCESS;
            }
        }
        // A batch's copy of the base key answers for its subkeys.
        if (m_txn != Txn::kNone && !self) {
            KeySnapshot* snap = Snapshot(base.id);
            const size_t slash = path.rfind('\\');
            if (snap && snap->childrenRead && slash == base.path.size()) {
                const std::string fname = Folded(std::string_view(path).substr(slash + 1));
                for (const KeySnapshot::Child& child : snap->children) {
                    if (child.fname == fname) {
                        if (LONG rc = Confirm(base, snap->allowed)) return rc;
                        out->id = child.id;
                        out->allowed = child.allowed;
                        SeeKey(child.id);
                        return ERROR_SUCCESS;
                    }
                }
                if (snap->childrenComplete) return Confirm(base, snap->allowed) ? ERROR_ACCESS_DENIED
                                                                                : ERROR_FILE_NOT_FOUND;
            }
        }
        if (LONG rc = Flush()) return rc;
        Result r;
        Params params;
        params.Int(base.id).Bytes(Folded(path));
        LONG rc = Run(kOpenKey, PathParam(params, base), &r, true);
        if (rc != ERROR_SUCCESS) return rc;
        const bool found = r.Rows() == 1 && r.Bool(0, 0);
        if (LONG code = Rebind(base, found, found ? r.Int(0, 4) : 0)) return code;
        if (LONG denied = Confirm(base, r.AllowanceAt(0, 1))) return denied;
        if (r.IsNull(0, 2)) return ERROR_FILE_NOT_FOUND;
        out->id = r.Int(0, 2);
        out->allowed = r.AllowanceAt(0, 3);
        SeeKey(base.id);
        SeeKey(out->id);
        CacheStamp after;
        if (stamped && CacheStampNow(&after) && after == before) {
            m_cache.Forget();
            if (!base.root) m_cache.Offer(KeyCacheKey(base.path), CacheEntry{base.id, r.AllowanceAt(0, 1), 0, {}});
            m_cache.Offer(cacheKey, CacheEntry{out->id, out->allowed, 0, {}});
            m_cache.Keep(before);
        }
        return ERROR_SUCCESS;
    });
}

LONG PgStore::CreateKey(KeyObject& base, const std::vector<std::string_view>& names, const std::string& path,
                        bool makeVolatile, KeyInfo* out, bool* created) {
    *created = false;
    // Most calls find the key made already, often in the cache. A batch
    // that writes already holds the writers' lock: there the creating
    // statement, which finds a key that exists, is the only round trip
    // (a tree imported key by key would otherwise pay three per key).
    bool writing = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        writing = InOwnBatch() && m_txn == Txn::kWrite;
    }
    if (!writing) {
        LONG rc = OpenKey(base, path, names.empty(), out);
        if (rc != ERROR_FILE_NOT_FOUND) return rc;
    }
    return Call(true, [&]() -> LONG {
        // The deferred value writes stay deferred: making keys neither
        // reads nor removes values.
        if (LONG rc = Bind(base)) return rc;
        LONG answer = ERROR_SUCCESS;
        if (CreateInBatch(base, names, makeVolatile, out, created, &answer)) return answer;
        std::vector<std::string_view> nameList, fnameList, fpathList;
        std::vector<std::string> fnames, fpaths;
        fnames.reserve(names.size());
        fpaths.reserve(names.size());
        std::string prefix = Folded(base.path);
        for (std::string_view name : names) {
            fnames.push_back(Folded(name));
            prefix += '\\';
            prefix += fnames.back();
            fpaths.push_back(prefix);
        }
        for (size_t i = 0; i < names.size(); ++i) {
            nameList.push_back(names[i]);
            fnameList.push_back(fnames[i]);
            fpathList.push_back(fpaths[i]);
        }
        Params params;
        KeyParams(params, base).ByteaArray(nameList).ByteaArray(fnameList).ByteaArray(fpathList);
        params.Bool(makeVolatile).Bytes(m_machine).Bytes(m_boot);
        Result r;
        LONG rc = Run(kCreate, params, &r, false);
        if (rc != ERROR_SUCCESS) return rc;
        const LONG code = LONG(r.Int(0, 0));
        if (code == ERROR_ACCESS_DENIED && !base.confirmed) m_cache.Drop();
        if (code != ERROR_SUCCESS) return code;
        base.confirmed = true;
        out->id = r.Int(0, 1);
        out->allowed = r.AllowanceAt(0, 2);
        out->confirmed = true;
        *created = r.Bool(0, 3);
        if (*created) {
            m_keysChanged = true;
            // The server's id is above the ids reserved before: a key made
            // below it must get a larger one.
            m_freeIds.clear();
            KeySnapshot* parent = Snapshot(base.id);
            if (names.size() != 1) {
                ForgetSnapshots();
            } else if (parent && parent->childrenRead) {
                m_snapshotBytes += parent->AddChild({out->id, std::string(names[0]), fnames[0], std::nullopt});
            }
        }
        SeeKey(base.id);
        SeeKey(out->id);
        if (*created && m_txn == Txn::kWrite) {
            // Nothing lies below a key this transaction made.
            KeySnapshot& snap = m_snapshot[out->id];
            snap.childrenRead = snap.childrenComplete = snap.valuesRead = snap.valuesComplete = true;
            snap.isVolatile = makeVolatile;
        }
        return ERROR_SUCCESS;
    });
}

// Inside a write batch the transaction holds the writers' lock, so the
// batch's copies of keys tell for certain which subkeys exist. When they
// reach along base\names the call is answered from them, with no round trip
// of its own: what exists is opened; what is missing is made with ids
// reserved from the keys' sequence, and sent to the server in one statement
// before the next statement of the batch (so before the value writes that
// refer to it). False when the copies cannot tell (a volatile key, more
// subkeys than a page, a key on the way not copied): the server decides.
bool PgStore::CreateInBatch(KeyObject& base, const std::vector<std::string_view>& names, bool makeVolatile,
                            KeyInfo* out, bool* created, LONG* rc) {
    if (m_txn != Txn::kWrite || makeVolatile || names.empty() || !base.confirmed) return false;
    KeySnapshot* snap = Snapshot(base.id);
    if (!snap || !snap->childrenRead) {
        // The base's first page of subkeys, once per transaction.
        if ((*rc = Fetch(base.id, true, false, &snap))) return true;
    }
    std::string fpath = Folded(base.path);
    int64_t id = base.id;
    Allowance allowed = snap->allowed;
    size_t level = 0;
    for (; level < names.size(); ++level) {
        if (!snap || !snap->childrenComplete) return false;
        const KeySnapshot::Child* child = snap->FindChild(Folded(names[level]));
        if (!child) break;
        fpath += '\\';
        fpath += child->fname;
        id = child->id;
        allowed = child->allowed;
        snap = Snapshot(id);
    }
    if (level < names.size()) {
        // Creating is checked against the parent key's own restriction, and
        // a volatile parent takes only volatile children.
        if (!Allows(allowed, kCreateSubKeyRight)) {
            *rc = ERROR_ACCESS_DENIED;
            return true;
        }
        if (snap->isVolatile) {
            *rc = ERROR_CHILD_MUST_BE_VOLATILE;
            return true;
        }
        const size_t count = names.size() - level;
        if (m_freeIds.size() < count) {
            Result r;
            Failure failure = Failure::kNone;
            const int64_t want = std::max<int64_t>(kIdBlock, int64_t(count));
            *rc = m_conn ? RunOnce(kReserveIds, Params().Int(want), &r, &failure) : ERROR_REGISTRY_IO_FAILED;
            if (*rc != ERROR_SUCCESS) return true;
            if (r.Rows() != want) {
                *rc = ERROR_BADDB;
                return true;
            }
            // The new ids are above those left: they go after them.
            std::vector<int64_t> fresh;
            for (int row = 0; row < r.Rows(); ++row) fresh.push_back(r.Int(row, 0));
            std::sort(fresh.rbegin(), fresh.rend());
            m_freeIds.insert(m_freeIds.begin(), fresh.begin(), fresh.end());
        }
        for (size_t i = level; i < names.size(); ++i) {
            const int64_t made = m_freeIds.back();
            m_freeIds.pop_back();
            std::string fname = Folded(names[i]);
            fpath += '\\';
            fpath += fname;
            m_snapshotBytes += snap->AddChild({made, std::string(names[i]), fname, std::nullopt});
            m_pendingKeys.push_back({made, id, std::string(names[i]), std::move(fname), fpath});
            // Nothing lies below a key just made.
            KeySnapshot& copy = m_snapshot[made];
            copy.childrenRead = copy.childrenComplete = copy.valuesRead = copy.valuesComplete = true;
            SeeKey(made);
            id = made;
            snap = &copy;
        }
        allowed = std::nullopt;
        *created = true;
        m_keysChanged = true;
    }
    SeeKey(base.id);
    SeeKey(id);
    out->id = id;
    out->allowed = allowed;
    out->confirmed = true;
    if (m_snapshotBytes > kMaxSnapshotBytes) ForgetSnapshots();
    *rc = ERROR_SUCCESS;
    return true;
}

LONG PgStore::DeleteKey(KeyObject& base, const std::string* path) {
    return Call(true, [&]() -> LONG {
        if (LONG rc = Flush()) return rc;
        if (LONG rc = Bind(base)) return rc;
        Params params;
        KeyParams(params, base);
        if (path) {
            params.Bytes(Folded(*path));
        } else {
            params.Null();
        }
        Result r;
        LONG rc = Run(kDeleteKey, params, &r, false);
        if (rc != ERROR_SUCCESS) return rc;
        const LONG code = LONG(r.Int(0, 0));
        m_keysChanged = true;
        ForgetSnapshots();
        if (code == ERROR_SUCCESS && !path) m_txnKeys.erase(base.id);
        if (code == ERROR_SUCCESS) m_txnKeys.clear();
        return code;
    });
}

LONG PgStore::SetRestriction(KeyObject& base, const std::string* path, Allowance allowed) {
    return Call(true, [&]() -> LONG {
        if (LONG rc = Flush()) return rc;
        if (LONG rc = Bind(base)) return rc;
        Params params;
        KeyParams(params, base);
        if (path) {
            params.Bytes(Folded(*path));
        } else {
            params.Null();
        }
        params.Int(allowed ? std::optional<int64_t>(*allowed) : std::nullopt);
        Result r;
        LONG rc = Run(kRestrict, params, &r, false);
        if (rc != ERROR_SUCCESS) return rc;
        m_keysChanged = true;
        ForgetSnapshots();
        return LONG(r.Int(0, 0));
    });
}

//===-- 8. Values and enumeration ---------------------------------------===//

LONG PgStore::QueryValue(KeyObject& key, std::string_view name, ValueSink deliver) {
    return Call(false, [&]() -> LONG {
        const std::string fname = Folded(name);
        if (KeySnapshot* snap = Snapshot(key.id); snap && snap->valuesRead) {
            auto it = snap->valueAt.find(fname);
            if (it != snap->valueAt.end() || snap->valuesComplete) {
                if (LONG rc = Confirm(key, snap->allowed)) return rc;
                if (it == snap->valueAt.end()) return ERROR_FILE_NOT_FOUND;
                const KeySnapshot::Value& v = snap->values[it->second];
                return deliver(v.type, v.data.data(), v.data.size());
            }
        }
        if (LONG rc = Flush()) return rc;
        Result r;
        Params params;
        params.Int(key.id).Bytes(fname);
        LONG rc = Run(kGetValue, PathParam(params, key), &r, true);
        if (rc != ERROR_SUCCESS) return rc;
        if (LONG code = Rebind(key, r.Rows() == 1, r.Rows() == 1 ? r.Int(0, 3) : 0)) return code;
        if (LONG denied = Confirm(key, r.AllowanceAt(0, 0))) return denied;
        SeeKey(key.id);
        if (r.IsNull(0, 1)) return ERROR_FILE_NOT_FOUND;
        std::string_view data = r.Bytes(0, 2);
        return deliver(DWORD(r.Int(0, 1)), data.data(), data.size());
    });
}

LONG PgStore::SetValueNow(KeyObject& key, std::string_view name, const std::string& fname, DWORD type,
                          const void* data, size_t size) {
    if (LONG rc = Flush()) return rc;
    Params params;
    KeyParams(params, key).Bytes(name).Bytes(fname).Int(int64_t(type));
    params.Bytes(std::string_view(static_cast<const char*>(data), size));
    Result r;
    LONG rc = Run(kSetValue, params, &r, false);
    if (rc != ERROR_SUCCESS) return rc;
    const LONG code = LONG(r.Int(0, 0));
    if (code == ERROR_KEY_DELETED || (code == ERROR_ACCESS_DENIED && !key.confirmed)) m_cache.Drop();
    if (code == ERROR_SUCCESS) {
        key.confirmed = true;
        SeeKey(key.id);
    }
    return code;
}

LONG PgStore::SetValue(KeyObject& key, std::string_view name, DWORD type, const void* data, size_t size) {
    return Call(true, [&]() -> LONG {
        if (LONG rc = Bind(key)) return rc;
        const std::string fname = Folded(name);
        std::string bytes = size ? std::string(static_cast<const char*>(data), size) : std::string();
        // A key this transaction has seen under the writers' lock cannot go
        // away before it commits: the write can wait for the others. A key
        // it has not seen yet (the batch committed while the key was being
        // written) is looked at once, which costs what writing at once
        // would, and its further writes wait too.
        bool defer = m_txn == Txn::kWrite && key.confirmed && m_txnKeys.count(key.id);
        if (!defer && m_txn == Txn::kWrite && key.confirmed) {
            KeySnapshot* seen = nullptr;
            LONG rc = Fetch(key.id, false, false, &seen);
            if (rc == ERROR_KEY_DELETED) m_cache.Drop();
            if (rc != ERROR_SUCCESS) return rc;
            defer = true;
        }
        if (!defer) {
            LONG rc = SetValueNow(key, name, fname, type, bytes.data(), bytes.size());
            if (rc != ERROR_SUCCESS) return rc;
        }
        if (KeySnapshot* snap = Snapshot(key.id)) {
            auto it = snap->valueAt.find(fname);
            if (it != snap->valueAt.end()) {
                snap->values[it->second].type = type;
                snap->values[it->second].data = bytes;
            } else if (snap->valuesComplete) {
                // A new value comes last in creation order.
                snap->valueAt.emplace(fname, snap->values.size());
                snap->values.push_back({INT64_MAX, std::string(name), fname, type, bytes});
            } else {
                snap->ForgetValues();
            }
        }
        if (!defer) return ERROR_SUCCESS;
        auto slot = m_pendingAt.find({key.id, fname});
        if (slot != m_pendingAt.end()) {
            m_pending[slot->second].type = type;
            m_pending[slot->second].data = std::move(bytes);
        } else {
            m_pendingAt.emplace(std::make_pair(key.id, fname), m_pending.size());
            m_pending.push_back({key.id, std::string(name), fname, type, std::move(bytes)});
        }
        if (m_pending.size() >= kMaxPendingWrites) return Flush();
        return ERROR_SUCCESS;
    });
}

LONG PgStore::DeleteValue(KeyObject& key, std::string_view name) {
    return Call(true, [&]() -> LONG {
        if (LONG rc = Flush()) return rc;
        if (LONG rc = Bind(key)) return rc;
        const std::string fname = Folded(name);
        Result r;
        Params params;
        KeyParams(params, key).Bytes(fname);
        LONG rc = Run(kDeleteValue, params, &r, false);
        if (rc != ERROR_SUCCESS) return rc;
        const LONG code = LONG(r.Int(0, 0));
        if (code == ERROR_KEY_DELETED || (code == ERROR_ACCESS_DENIED && !key.confirmed)) m_cache.Drop();
        if (code == ERROR_SUCCESS || code == ERROR_FILE_NOT_FOUND) key.confirmed = true;
        // The copy's positions would no longer hold.
        m_snapshot.erase(key.id);
        return code;
    });
}

LONG PgStore::IncrementValue(KeyObject& key, std::string_view name, DWORD mask, DWORD* next) {
    return Call(true, [&]() -> LONG {
        if (LONG rc = Flush()) return rc;
        if (LONG rc = Bind(key)) return rc;
        Result r;
        Params params;
        KeyParams(params, key).Bytes(name).Bytes(Folded(name)).Int(int64_t(mask));
        LONG rc = Run(kIncrement, params, &r, false);
        if (rc != ERROR_SUCCESS) return rc;
        const LONG code = LONG(r.Int(0, 0));
        if (code == ERROR_KEY_DELETED || (code == ERROR_ACCESS_DENIED && !key.confirmed)) m_cache.Drop();
        if (code != ERROR_SUCCESS) return code;
        key.confirmed = true;
        m_snapshot.erase(key.id);
        *next = DWORD(r.Int(0, 1));
        return ERROR_SUCCESS;
    });
}

LONG PgStore::EnumKey(KeyObject& key, DWORD index, NameSink deliver) {
    return Call(false, [&]() -> LONG {
        if (LONG rc = Bind(key)) return rc;
        if (m_txn != Txn::kNone) {
            KeySnapshot* snap = Snapshot(key.id);
            if (!snap || !snap->childrenRead) {
                if (LONG rc = Fetch(key.id, true, !snap || !snap->valuesRead, &snap)) return rc;
            }
            while (index >= snap->children.size() && !snap->childrenComplete) {
                if (LONG rc = Fetch(key.id, true, false, &snap)) return rc;
            }
            if (LONG rc = Confirm(key, snap->allowed)) return rc;
            if (index >= snap->children.size()) return ERROR_NO_MORE_ITEMS;
            return deliver(snap->children[index].name);
        }
        EnumCursor& cursor = key.subkeys;
        const bool onward = cursor.valid && (index == cursor.index || index == cursor.index + 1);
        std::string from = onward ? Folded(cursor.name) : std::string();
        if (onward && index == cursor.index + 1) from += '\0';
        Result r;
        LONG rc = Run(kEnumKey, Params().Int(key.id).Int(onward ? int64_t(cursor.stamp[0]) : -1).Bytes(from).Int(index),
                      &r, true);
        if (rc != ERROR_SUCCESS) return rc;
        cursor.valid = false;
        if (r.Rows() != 1 || !r.Bool(0, 1)) {
            m_cache.Drop();
            return ERROR_KEY_DELETED;
        }
        if (LONG denied = Confirm(key, r.AllowanceAt(0, 2))) return denied;
        if (r.IsNull(0, 3)) return ERROR_NO_MORE_ITEMS;
        cursor.name.assign(r.Bytes(0, 3));
        cursor.stamp[0] = uint64_t(r.Int(0, 0));
        cursor.index = index;
        cursor.valid = true;
        return deliver(cursor.name);
    });
}

LONG PgStore::EnumValue(KeyObject& key, DWORD index, ValueEntrySink deliver) {
    return Call(false, [&]() -> LONG {
        if (LONG rc = Bind(key)) return rc;
        if (m_txn != Txn::kNone) {
            KeySnapshot* snap = Snapshot(key.id);
            if (!snap || !snap->valuesRead) {
                if (LONG rc = Fetch(key.id, !snap || !snap->childrenRead, true, &snap)) return rc;
            }
            while (index >= snap->values.size() && !snap->valuesComplete) {
                if (LONG rc = Fetch(key.id, false, true, &snap)) return rc;
            }
            if (LONG rc = Confirm(key, snap->allowed)) return rc;
            if (index >= snap->values.size()) return ERROR_NO_MORE_ITEMS;
            const KeySnapshot::Value& v = snap->values[index];
            return deliver(v.name, v.type, v.data.data(), v.data.size());
        }
        EnumCursor& cursor = key.values;
        const bool onward = cursor.valid && (index == cursor.index || index == cursor.index + 1);
        const int64_t from = onward ? cursor.rowId + (index == cursor.index ? 0 : 1) : 0;
        Result r;
        LONG rc = Run(kEnumValue, Params().Int(key.id).Int(onward ? int64_t(cursor.stamp[0]) : -1).Int(from).Int(index),
                      &r, true);
        if (rc != ERROR_SUCCESS) return rc;
        cursor.valid = false;
        if (r.Rows() != 1 || !r.Bool(0, 1)) {
            m_cache.Drop();
            return ERROR_KEY_DELETED;
        }
        if (LONG denied = Confirm(key, r.AllowanceAt(0, 2))) return denied;
        if (r.IsNull(0, 3)) return ERROR_NO_MORE_ITEMS;
        cursor.rowId = r.Int(0, 3);
        cursor.stamp[0] = uint64_t(r.Int(0, 0));
        cursor.index = index;
        cursor.valid = true;
        std::string_view data = r.Bytes(0, 6);
        return deliver(r.Bytes(0, 4), DWORD(r.Int(0, 5)), data.data(), data.size());
    });
}

//===-- 9. Whole registries ---------------------------------------------===//

LONG PgStore::ReadImage(RegistryImage* image) {
    std::lock_guard<std::mutex> guard(m_lock);
    StartCall();
    *image = RegistryImage();
    LONG rc = Connect();
    if (rc != ERROR_SUCCESS) return rc;
    Failure failure = Failure::kNone;
    if ((rc = RunText("BEGIN ISOLATION LEVEL REPEATABLE READ", &failure))) return rc;
    Result keys, values;
    StartCall();
    rc = RunOnce(kReadKeys, Params(), &keys, &failure);
    StartCall();
    if (rc == ERROR_SUCCESS) rc = RunOnce(kReadValues, Params(), &values, &failure);
    if (m_conn) RunText("COMMIT", &failure);
    if (rc != ERROR_SUCCESS) return rc;
    for (int row = 0; row < keys.Rows(); ++row) {
        const int64_t id = keys.Int(row, 0);
        if (id >= kFirstRootId && id < kFirstRootId + kRootCount) {
            image->rootAllowed[id - kFirstRootId] = keys.AllowanceAt(row, 3);
            continue;
        }
        image->keys.push_back(RegistryImage::Key{id, keys.Int(row, 1), std::string(keys.Bytes(row, 2)),
                                                 keys.AllowanceAt(row, 3)});
    }
    for (int row = 0; row < values.Rows(); ++row) {
        image->values.push_back(RegistryImage::Value{values.Int(row, 0), std::string(values.Bytes(row, 1)),
                                                     DWORD(values.Int(row, 2)), std::string(values.Bytes(row, 3))});
    }
    return ERROR_SUCCESS;
}

// Keys keep their ids (the target holds only its roots): a parent comes
// before its children, so each key's path is known when it is loaded.
LONG PgStore::LoadImage(const RegistryImage& image) {
    std::lock_guard<std::mutex> guard(m_lock);
    StartCall();
    LONG rc = Connect();
    if (rc != ERROR_SUCCESS) return rc;
    Failure failure = Failure::kNone;
    rc = RunText("BEGIN; SELECT " + m_schema + ".reg_lock()", &failure);
    if (rc != ERROR_SUCCESS) {
        if (m_conn) RunText("ROLLBACK", &failure);
        return rc;
    }
    // Under the writers' lock: nobody fills the target meanwhile.
    Result used;
    rc = RunOnce(kHoldsAnything, Params(), &used, &failure);
    if (rc == ERROR_SUCCESS && (used.Rows() != 1 || used.Bool(0, 0))) rc = ERROR_ALREADY_EXISTS;
    if (rc != ERROR_SUCCESS) {
        if (m_conn) RunText("ROLLBACK", &failure);
        return rc;
    }
    std::unordered_map<int64_t, std::string> paths;
    for (int i = 0; i < kRootCount; ++i) paths[kFirstRootId + i] = Folded(kRootNames[i]);
    auto loadKeys = [&](size_t from, size_t to) -> LONG {
        std::vector<std::optional<int64_t>> ids, parents, allowed;
        std::vector<std::string> fnames, fpaths;
        std::vector<std::string_view> names, fnameViews, fpathViews;
        for (size_t i = from; i < to; ++i) {
            const RegistryImage::Key& key = image.keys[i];
            auto parent = paths.find(key.parent);
            if (parent == paths.end() || key.id < kFirstRootId + kRootCount) return ERROR_BADDB;
            fnames.push_back(Folded(key.name));
            fpaths.push_back(parent->second + '\\' + fnames.back());
            paths[key.id] = fpaths.back();
            ids.push_back(key.id);
            parents.push_back(key.parent);
            allowed.push_back(key.allowed ? std::optional<int64_t>(*key.allowed) : std::nullopt);
            names.push_back(key.name);
        }
        for (size_t i = 0; i < fnames.size(); ++i) {
            fnameViews.push_back(fnames[i]);
            fpathViews.push_back(fpaths[i]);
        }
        Params params;
        params.Int8Array(ids).Int8Array(parents).ByteaArray(names).ByteaArray(fnameViews).ByteaArray(fpathViews);
        params.Int8Array(allowed);
        StartCall();
        return RunOnce(kLoadKeys, params, nullptr, &failure);
    };
    auto loadValues = [&](size_t from, size_t to) -> LONG {
        std::vector<std::optional<int64_t>> keys, types;
        std::vector<std::string> fnames;
        std::vector<std::string_view> names, fnameViews, datas;
        for (size_t i = from; i < to; ++i) {
            const RegistryImage::Value& value = image.values[i];
            if (!paths.count(value.key)) return ERROR_BADDB;
            keys.push_back(value.key);
            names.push_back(value.name);
            fnames.push_back(Folded(value.name));
            types.push_back(int64_t(value.type));
            datas.push_back(value.data);
        }
        for (const std::string& f : fnames) fnameViews.push_back(f);
        Params params;
        params.Int8Array(keys).ByteaArray(names).ByteaArray(fnameViews).Int8Array(types).ByteaArray(datas);
        StartCall();
        return RunOnce(kLoadValues, params, nullptr, &failure);
    };
    for (size_t at = 0; rc == ERROR_SUCCESS && at < image.keys.size(); at += kLoadRows) {
        rc = loadKeys(at, std::min(image.keys.size(), at + kLoadRows));
    }
    for (size_t at = 0; rc == ERROR_SUCCESS && at < image.values.size(); at += kLoadRows) {
        rc = loadValues(at, std::min(image.values.size(), at + kLoadRows));
    }
    if (rc == ERROR_SUCCESS && m_conn) {
        std::string finish = "SELECT setval(pg_get_serial_sequence('" + m_schema +
                             ".keys', 'id'), greatest(5, (SELECT max(id) FROM " + m_schema + ".keys)))";
        for (int i = 0; i < kRootCount; ++i) {
            finish += "; UPDATE " + m_schema + ".keys SET allowed = " +
                      (image.rootAllowed[i] ? std::to_string(*image.rootAllowed[i]) : std::string("NULL")) +
                      " WHERE id = " + std::to_string(kFirstRootId + i);
        }
        StartCall();
        rc = RunText(finish, &failure);
    }
    if (m_conn) {
        StartCall();
        LONG end = RunText(rc == ERROR_SUCCESS ? "COMMIT" : "ROLLBACK", &failure);
        if (rc == ERROR_SUCCESS) rc = end;
    } else if (rc == ERROR_SUCCESS) {
        rc = ERROR_REGISTRY_IO_FAILED;
    }
    return rc;
}

//===-- 10. Fork --------------------------------------------------------===//

// The child inherits the parent's socket: a word written on it would be
// the parent's session's. The connection is left as it is (PQfinish would
// say goodbye on the parent's behalf), only the child's copy of the socket
// is closed, and the child connects anew at its next call.
void PgStore::AfterForkChild() {
    if (m_conn) {
        const int fd = PQsocket(m_conn);
        if (fd >= 0) Sys().close(fd);
        try {
            AbandonedConnections().push_back(m_conn);
        } catch (const std::bad_alloc&) {
        }
        m_conn = nullptr;
    }
    std::fill(std::begin(m_prepared), std::end(m_prepared), false);
    m_txn = Txn::kNone;
    m_batchDepth = 0;
    m_batchCalls = 0;
    m_batchResult = ERROR_SUCCESS;
    m_pending.clear();
    m_pendingAt.clear();
    m_pendingKeys.clear();
    m_freeIds.clear();
    m_txnKeys.clear();
    ForgetSnapshots();
    m_cache.Drop();
    m_lock.unlock();
}

}  // namespace

std::unique_ptr<Store> MakePgStore(const std::string& location, OpenMode mode) {
    return std::make_unique<PgStore>(location, mode);
}

LONG CreatePgRegistry(const std::string& location) {
    PgStore store(location, OpenMode::kTarget);
    LONG rc = store.Check();
    if (rc != ERROR_SUCCESS) return rc;
    return store.MadeSchema() ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
}

}  // namespace w32::reg
