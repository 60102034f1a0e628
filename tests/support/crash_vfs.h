// Power cuts for the tests, on SQLite's C API alone: record() runs a scenario on a VFS that wraps
// the default one and logs what the database files receive; replay() rebuilds from the log what
// storage holds after a cut at each point, and opens it in memory as a fresh process would:
// - a file's bytes as of its last sync; what was written or truncated since is dropped (DROP),
//   kept with the write in progress torn at its first 512-byte sector boundary (TORN), or kept in
//   a random subset applied in random order (SUBSET, seeded by the cut point);
// - a file's creation or deletion once its directory was synced: the unix VFS does that at the
//   first sync of a journal or WAL it created, and after a deletion only when asked (a rollback
//   journal's: only at synchronous=EXTRA). Until then a new file is absent and a deleted one is
//   back with its synced bytes (the journal whose deletion completed a commit, say);
// - files there when recording starts, as they are; not the WAL index (-shm), memory that the
//   next connection rebuilds, nor temporary files.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace crashvfs {

enum Kind { EXISTING, CREATE, WRITE, TRUNCATE, SYNC, DELETE, DIRSYNC };
struct Op {
    Kind kind;
    std::string file;  // "" for DIRSYNC
    long long offset;  // WRITE: where; TRUNCATE: the new size
    std::string data;  // WRITE: the bytes; EXISTING: the file's bytes when recording started
};
enum Variant { DROP, TORN, SUBSET };

namespace detail {
inline sqlite3_vfs* g_real;
inline std::vector<Op>* g_log;
inline std::set<std::string> g_seen;
inline std::map<const sqlite3_io_methods*, sqlite3_io_methods> g_methods;  // logging copies
inline std::map<std::string, std::string>* g_files;                        // replayed, by name

// After the real file's own state, whose methods it swaps for copies that log.
struct Recorded {
    const char* name;  // kept by SQLite until the file is closed
    const sqlite3_io_methods* real;
    bool dirsync;  // the unix VFS syncs the directory at this file's first sync
};
inline Recorded& rec(sqlite3_file* f) {
    return *reinterpret_cast<Recorded*>(reinterpret_cast<char*>(f) + g_real->szOsFile);
}
inline int logged(sqlite3_file* f, int rc, Kind kind, long long off = 0, std::string data = "") {
    if (rc == SQLITE_OK) g_log->push_back({kind, rec(f).name, off, std::move(data)});
    if (rc == SQLITE_OK && kind == SYNC && rec(f).dirsync) g_log->push_back({DIRSYNC, "", 0, ""});
    rec(f).dirsync = rec(f).dirsync && !(rc == SQLITE_OK && kind == SYNC);
    return rc;
}
inline int open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* out) {
    std::ifstream existing(name != nullptr ? name : "", std::ios::binary);
    const int rc = g_real->xOpen(g_real, name, f, flags, out);
    if (rc != SQLITE_OK ||
        !(flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL)))
        return rc;
    rec(f) = {name, f->pMethods, (flags & SQLITE_OPEN_CREATE) && !(flags & SQLITE_OPEN_MAIN_DB)};
    sqlite3_io_methods& m = g_methods.try_emplace(f->pMethods, *f->pMethods).first->second;
    m.xWrite = [](sqlite3_file* f, const void* p, int n, sqlite3_int64 o) {
        return logged(f, rec(f).real->xWrite(f, p, n, o), WRITE, o, {(const char*)p, size_t(n)});
    };
    m.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
        return logged(f, rec(f).real->xTruncate(f, size), TRUNCATE, size);
    };
    m.xSync = [](sqlite3_file* f, int s) { return logged(f, rec(f).real->xSync(f, s), SYNC); };
    f->pMethods = &m;
    if (!existing.is_open()) return g_seen.insert(name), logged(f, rc, CREATE);
    if (!g_seen.insert(name).second) return rc;
    return logged(f, rc, EXISTING, 0, {std::istreambuf_iterator<char>(existing), {}});
}

// A write or truncation onto d; a torn write keeps what precedes its first sector boundary.
inline void apply(std::string& d, const Op& op, bool torn) {
    if (op.kind == TRUNCATE) return d.resize(op.offset);
    const size_t cut = (op.offset / 512 + 1) * 512 - op.offset, n = op.data.size();
    const size_t keep = !torn ? n : cut < n ? cut : 0, end = op.offset + keep;
    if (keep > 0) d.resize(std::max(d.size(), end)), d.replace(op.offset, keep, op.data, 0, keep);
}

struct MemFile {
    sqlite3_file base;
    std::string* data;
    std::string own;  // a temporary file's
};
inline std::string& data(sqlite3_file* f) {
    return *reinterpret_cast<MemFile*>(f)->data;
}
inline const sqlite3_io_methods kMemory = [] {
    sqlite3_io_methods m{};
    m.iVersion = 1;
    m.xClose = [](sqlite3_file* f) { return reinterpret_cast<MemFile*>(f)->~MemFile(), SQLITE_OK; };
    m.xRead = [](sqlite3_file* f, void* p, int n, sqlite3_int64 o) {
        const std::string& d = data(f);
        const size_t have = size_t(o) < d.size() ? d.copy(static_cast<char*>(p), n, o) : 0;
        memset(static_cast<char*>(p) + have, 0, n - have);
        return have == size_t(n) ? SQLITE_OK : SQLITE_IOERR_SHORT_READ;
    };
    m.xWrite = [](sqlite3_file* f, const void* p, int n, sqlite3_int64 o) {
        return apply(data(f), {WRITE, "", o, {(const char*)p, size_t(n)}}, false), SQLITE_OK;
    };
    m.xTruncate = [](sqlite3_file* f, sqlite3_int64 n) { return data(f).resize(n), SQLITE_OK; };
    m.xSync = m.xLock = m.xUnlock = [](sqlite3_file*, int) { return SQLITE_OK; };
    m.xFileSize = [](sqlite3_file* f, sqlite3_int64* n) { return *n = data(f).size(), SQLITE_OK; };
    m.xCheckReservedLock = [](sqlite3_file*, int* out) { return *out = 0, SQLITE_OK; };
    m.xFileControl = [](sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; };
    m.xSectorSize = [](sqlite3_file*) { return 512; };
    m.xDeviceCharacteristics = [](sqlite3_file*) { return 0; };
    return m;
}();
}  // namespace detail

// The log of what scenario(log) did to the database files, on a VFS made the default meanwhile.
// The scenario closes the connections it opened.
template <typename Scenario>
std::vector<Op> record(Scenario&& scenario) {
    std::vector<Op> log;
    sqlite3_vfs vfs = *(detail::g_real = sqlite3_vfs_find(nullptr));
    detail::g_log = &log, detail::g_seen.clear();
    vfs.zName = "crash-recorder", vfs.szOsFile += sizeof(detail::Recorded),
    vfs.xOpen = detail::open;
    vfs.xDelete = [](sqlite3_vfs*, const char* name, int dirsync) {
        const int rc = detail::g_real->xDelete(detail::g_real, name, dirsync);
        if (rc == SQLITE_OK) detail::g_log->push_back({DELETE, name, 0, ""});
        if (rc == SQLITE_OK && dirsync) detail::g_log->push_back({DIRSYNC, "", 0, ""});
        return rc;
    };
    sqlite3_vfs_register(&vfs, 1);
    scenario(static_cast<const std::vector<Op>&>(log));
    sqlite3_vfs_unregister(&vfs), sqlite3_vfs_register(detail::g_real, 1);  // the default again
    return log;
}

// Calls check(k, variant, db) for every k and variant with a connection to what storage holds
// after a cut that follows the log's first k operations (TORN tears the k-th, when a write): the
// files in memory, opened by db_name as a fresh process would, the WAL index in heap memory
// (exclusive locking), closed without a checkpoint. db is null for a DROP state that is k - 1's.
template <typename Check>
void replay(const std::vector<Op>& log, const std::string& db_name, Check&& check) {
    struct File {
        bool exists = false, named = false;  // named: its creation reached storage
        std::optional<std::string> old;      // what storage holds under its name meanwhile
        std::string synced, now;             // its bytes as of its last sync, and as written
        std::vector<const Op*> pending;      // written since that sync
    };
    std::map<std::string, File> files;
    std::map<std::string, std::string> out;  // reused, with its buffers
    std::string torn;                        // the file of the last write, torn
    sqlite3_vfs vfs = *sqlite3_vfs_find(nullptr);
    vfs.zName = "crash-replay", vfs.szOsFile = sizeof(detail::MemFile);
    vfs.xOpen = [](sqlite3_vfs*, const char* name, sqlite3_file* f, int, int*) {
        auto* m = new (f) detail::MemFile{{&detail::kMemory}, nullptr, {}};
        return m->data = name ? &(*detail::g_files)[name] : &m->own, SQLITE_OK;
    };
    vfs.xDelete = [](sqlite3_vfs*, const char* name, int) {
        return detail::g_files->erase(name), SQLITE_OK;
    };
    vfs.xAccess = [](sqlite3_vfs*, const char* name, int, int* out) {
        const auto it = detail::g_files->find(name);  // as on unix, an empty file is none
        return *out = it != detail::g_files->end() && !it->second.empty(), SQLITE_OK;
    };
    sqlite3_vfs_register(&vfs, 0), detail::g_files = &out;
    for (const Op& op : log)
        if (op.kind == EXISTING) files[op.file] = File{true, true, {}, op.data, op.data, {}};
    for (size_t k = 0; k <= log.size(); ++k) {
        const Op* op = k > 0 ? &log[k - 1] : nullptr;
        const Kind kind = op != nullptr ? op->kind : EXISTING;
        File& f = files[op != nullptr ? op->file : ""];
        if (kind == CREATE || kind == DELETE)
            f = File{kind == CREATE, false, f.named ? f.synced : f.old, "", "", {}};
        if (kind == WRITE || kind == TRUNCATE) {
            f.pending.push_back(op);
            if (kind == WRITE) detail::apply(torn.assign(f.now), *op, true);
            detail::apply(f.now, *op, false);
        }
        if (kind == SYNC) f.synced = f.now, f.pending.clear();
        for (auto& [name, g] : files)
            if (kind == DIRSYNC) g.named = g.exists, g.old = g.exists ? g.old : std::nullopt;
        std::mt19937 rng(k);
        for (Variant v : {DROP, TORN, SUBSET}) {
            sqlite3* db = nullptr;  // stays null for a DROP state that is k - 1's
            if (v != DROP || (kind != WRITE && kind != TRUNCATE)) {
                for (auto it = out.begin(); it != out.end();)  // names only the last check made
                    it = files.count(it->first) ? std::next(it) : out.erase(it);
                for (auto& [name, g] : files) {
                    std::string& d = out[name];  // assigned into, keeping its buffer
                    if (!g.named) {
                        d.assign(g.old.value_or(""));
                    } else if (v == TORN && &g == &f && kind == WRITE) {
                        d.swap(torn);
                    } else {
                        d.assign(v == TORN ? g.now : g.synced);
                        auto kept = v == SUBSET ? g.pending : decltype(g.pending)();
                        std::shuffle(kept.begin(), kept.end(), rng);
                        kept.resize(rng() % (kept.size() + 1));
                        for (const Op* p : kept) detail::apply(d, *p, false);
                    }
                    if (!g.named && !g.old) out.erase(name);
                }
                sqlite3_open_v2(db_name.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                vfs.zName);
                sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
                sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE", nullptr, nullptr, nullptr);
            }
            check(k, v, db);
            sqlite3_close(db);
        }
    }
    sqlite3_vfs_unregister(&vfs);
}

}  // namespace crashvfs
