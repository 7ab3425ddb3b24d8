// File transfer over SFTP that never leaves a damaged file under the destination's name: the data
// goes to a temporary file beside the destination ("." + its name + a random part + ".partial")
// that is moved onto it only when complete.  Where a move would change the destination (not a
// regular file, more than one link, another owner, a folder we may not write) the data is written
// in place, as a plain copy would.  The work runs in a worker thread that the caller watches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "ssh.hpp"

namespace pelorix::ssh {
namespace {

const Name n_getfo("getfo"), n_stat("stat"), n_lstat("lstat"), n_st_mode("st_mode"),
    n_st_uid("st_uid"), n_st_gid("st_gid"), n_normalize("normalize"),
    n_listdir_attr("listdir_attr"), n_filename("filename"), n_longname("longname"),
    n_chmod("chmod"), n_remove("remove"), n_rename("rename"), n_posix_rename("posix_rename"),
    n_errno("errno"), n_lower("lower");

// ---- names of partial files ----

struct Split {
    std::string folder;  // with its trailing '/', or empty for the current folder
    std::string name;
};

Split split(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {"", path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// ".NAME.RANDOM.partial" beside the destination: hidden from listings and patterns, and plainly
// the partial of that file when a cut connection leaves it behind.  Long names are shortened (at
// a character boundary) so the result stays within the usual 255 bytes.
std::string partial_name(const std::string& path) {
    Split where = split(path);
    constexpr std::size_t keep = 200;
    if (where.name.size() > keep) {
        std::size_t end = keep;
        while (end > 0 && (static_cast<unsigned char>(where.name[end]) & 0xC0) == 0x80) --end;
        where.name.resize(end);
    }
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char tag[17];
    std::snprintf(tag, sizeof tag, "%016llx", static_cast<unsigned long long>(random()));
    return where.folder + "." + where.name + "." + tag + ".partial";
}

// ---- local files (download) ----

std::string fs_path(nb::handle path) {
    PyObject* raw = PyUnicode_EncodeFSDefault(path.ptr());
    if (!raw) raise_current();
    const nb::object owner = nb::steal(raw);
    return {PyBytes_AS_STRING(raw), static_cast<std::size_t>(PyBytes_GET_SIZE(raw))};
}

nb::object fs_str(const std::string& path) {
    PyObject* s =
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
    if (!s) raise_current();
    return nb::steal(s);
}

[[noreturn]] void raise_errno(nb::handle filename) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    raise_current();
}

enum class Way { Replace, InPlace, Into };  // move a partial onto it, write it, copy into it

struct Target {
    Way way = Way::Replace;
    std::string path;  // the file to replace: the destination, or the file its link points to
    bool exists = false;
    mode_t mode = 0;
    gid_t gid = 0;
};

Target local_target(const std::string& path, nb::handle shown_as) {
    Target t{.path = path};
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) t.way = Way::InPlace;  // let the plain copy report it
        return t;
    }
    if (S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved) || ::stat(resolved, &st) != 0) {
            t.way = Way::InPlace;  // a dangling link: the copy creates what it points to
            return t;
        }
        t.path = resolved;
    }
    t.exists = true;
    t.mode = st.st_mode & 07777;
    t.gid = st.st_gid;
    if (!S_ISREG(st.st_mode))
        t.way = Way::Into;
    else if (st.st_nlink > 1 || st.st_uid != ::geteuid())
        t.way = Way::InPlace;
    if (t.way != Way::Replace) return t;
    // A file the user may not write stays a failure, as the plain copy's open would make it.
    const int fd = ::open(t.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) raise_errno(shown_as);
    ::close(fd);
    return t;
}

// Creates the partial file as open(path, "wb") would (0o666 less the umask), or gives an empty
// path where the folder does not let us, so that the destination is written in place.  So does
// an existing destination of another group than the partial file got: a rename would change it.
std::string create_partial(const Target& t) {
    for (;;) {
        std::string partial = partial_name(t.path);
        const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            struct stat st{};
            const bool same_group = ::fstat(fd, &st) == 0 && (!t.exists || st.st_gid == t.gid);
            ::close(fd);
            if (same_group) return partial;
            ::unlink(partial.c_str());
            return {};
        }
        if (errno == EEXIST) continue;
        // a folder we may not write (or none at all, which the plain copy reports by its name)
        if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENOENT ||
            errno == ENOTDIR)
            return {};
        raise_errno(fs_str(partial));
    }
}

nb::object download_body(Job& job, nb::handle sftp, nb::handle remote, nb::handle local,
                         nb::handle open, nb::handle callback) {
    const Target t = local_target(fs_path(local), local);
    if (t.way == Way::Into) {
        // /dev/null, a pipe: paramiko's get would stat the path afterwards and find a size
        // mismatch, so the data is copied into the opened destination
        nb::object file = call(open, {local, nb::str("wb")});
        try {
            call_method(sftp, n_getfo, {remote, file}, {Kw{n_callback, callback}});
        } catch (nb::python_error& e) {
            Except handler(e);
            call_method(file, n_close, {});
            throw;
        }
        call_method(file, n_close, {});
        return nb::none();
    }
    const std::string partial = t.way == Way::Replace ? create_partial(t) : "";
    if (partial.empty()) {
        call_method(sftp, n_get, {remote, local}, {Kw{n_callback, callback}});
        return nb::none();
    }
    job.leftover = partial;
    try {
        call_method(sftp, n_get, {remote, fs_str(partial)}, {Kw{n_callback, callback}});
        if (t.exists && ::chmod(partial.c_str(), t.mode) != 0) raise_errno(fs_str(partial));
        if (job.aborted) {  // the caller gave up on this transfer: it must not land
            ::unlink(partial.c_str());
            return nb::none();
        }
        if (::rename(partial.c_str(), t.path.c_str()) != 0) raise_errno(local);
    } catch (nb::python_error& e) {
        Except handler(e);
        ::unlink(partial.c_str());
        throw;
    }
    job.leftover.clear();
    return nb::none();
}

// ---- remote files (upload) ----

bool has_errno(nb::handle error, long value) {
    nb::object number = lookup_attr(error, n_errno);
    return number.is_valid() && PyLong_Check(number.ptr()) && equals(number, nb::int_(value));
}

// A server without the atomic rename answers "unsupported" (SSH_FX_OP_UNSUPPORTED), which
// paramiko gives as an IOError with the server's text and no errno.
bool unsupported(nb::handle error) {
    if (!PyErr_GivenExceptionMatches(error.ptr(), PyExc_OSError)) return false;
    nb::object number = lookup_attr(error, n_errno);
    if (number.is_valid() && !number.is_none()) return false;
    const std::string text(utf8(call_method(to_str(error), n_lower, {})));
    return text.find("unsupported") != text.npos || text.find("not supported") != text.npos;
}

// The link count of a remote file: SFTP's attributes have none, but a folder listing's long
// names ("-rw-r--r--    2 user group ...") do.  1 where the listing says nothing usable.
long remote_links(nb::handle sftp, const std::string& path) {
    const Split where = split(path);
    nb::object folder = make_str(where.folder.empty() ? "." : where.folder);
    nb::object entries = call_method(sftp, n_listdir_attr, {folder});
    nb::object wanted = make_str(where.name);
    for (nb::object it = iterate(entries), entry = next(it); entry.is_valid(); entry = next(it)) {
        if (!equals(getattr(entry, n_filename), wanted)) continue;
        const std::string line(utf8(to_str(getattr(entry, n_longname))));
        const std::size_t field = line.find_first_not_of(' ', line.find(' '));
        if (field == std::string::npos) return 1;
        const long links = std::strtol(line.c_str() + field, nullptr, 10);
        return links > 0 ? links : 1;
    }
    return 1;
}

// sftp.HOW(path), or an invalid handle when it raises OSError; `missing` says whether that was
// "no such file".
nb::object remote_attrs(nb::handle sftp, const Name& how, nb::handle path, bool& missing) {
    try {
        return call_method(sftp, how, {path});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_OSError);
        missing = has_errno(handler.value(), ENOENT);
        return nb::object();
    }
}

struct RemoteTarget : Target {
    nb::object uid, group;
};

RemoteTarget remote_target(nb::handle sftp, nb::handle remote) {
    RemoteTarget t;
    t.path = std::string(utf8(remote));
    bool missing = false;
    nb::object attrs = remote_attrs(sftp, n_lstat, remote, missing);
    if (!attrs.is_valid()) {
        if (!missing) t.way = Way::InPlace;  // the plain copy reports what is wrong
        return t;
    }
    auto mode = static_cast<mode_t>(as_index(getattr(attrs, n_st_mode)));
    if (S_ISLNK(mode)) {
        // the file the link points to is replaced, and the link stays
        nb::object resolved = remote_attrs(sftp, n_normalize, remote, missing);
        attrs = resolved.is_valid() ? remote_attrs(sftp, n_stat, resolved, missing) : nb::object();
        if (!attrs.is_valid()) {
            t.way = Way::InPlace;
            return t;
        }
        t.path = std::string(utf8(resolved));
        mode = static_cast<mode_t>(as_index(getattr(attrs, n_st_mode)));
    }
    t.exists = true;
    t.mode = mode & 07777;
    t.uid = getattr(attrs, n_st_uid);
    t.group = getattr(attrs, n_st_gid);
    if (!S_ISREG(mode) || remote_links(sftp, t.path) > 1) t.way = Way::InPlace;
    return t;
}

void remove_quietly(nb::handle sftp, nb::handle transport, nb::handle path) {
    if (!truthy(call_method(transport, n_is_active, {}))) return;  // a cut connection keeps it
    try {
        call_method(sftp, n_remove, {path});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
    }
}

// Opens the partial file (and closes it again) to learn who will own it; no partial (empty)
// where the folder does not let us create one, or where the replaced file would change owner or
// group.
nb::object start_partial(nb::handle sftp, nb::handle transport, const RemoteTarget& t) {
    nb::object partial = make_str(partial_name(t.path));
    nb::object file;
    try {
        file = call_method(sftp, n_open, {partial, nb::str("wb")});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_OSError);
        if (has_errno(handler.value(), EACCES) || has_errno(handler.value(), EPERM))
            return nb::object();
        throw;
    }
    nb::object attrs = call_method(file, n_stat, {});
    call_method(file, n_close, {});
    if (t.exists &&
        (!equals(getattr(attrs, n_st_uid), t.uid) || !equals(getattr(attrs, n_st_gid), t.group))) {
        remove_quietly(sftp, transport, partial);
        return nb::object();
    }
    return partial;
}

// Moves the partial onto the destination atomically; only a server that does not offer that
// gets the old file removed first, never one that refused for another reason.
void move_onto(nb::handle sftp, nb::handle partial, nb::handle target, bool exists) {
    try {
        call_method(sftp, n_posix_rename, {partial, target});
        return;
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        if (!unsupported(handler.value())) throw;
    }
    if (exists) call_method(sftp, n_remove, {target});
    call_method(sftp, n_rename, {partial, target});
}

nb::object upload_body(Job& job, nb::handle sftp, nb::handle transport, nb::handle local,
                       nb::handle remote, nb::handle callback) {
    const RemoteTarget t = remote_target(sftp, remote);
    if (t.exists && t.way == Way::Replace) {
        // a file the user may not write stays a failure: opening it to append changes nothing
        call_method(call_method(sftp, n_open, {make_str(t.path), nb::str("a")}), n_close, {});
    }
    nb::object partial = t.way == Way::Replace ? start_partial(sftp, transport, t) : nb::object();
    if (!partial.is_valid()) {
        call_method(sftp, n_put, {local, remote}, {Kw{n_callback, callback}});
        return nb::none();
    }
    try {
        call_method(sftp, n_put, {local, partial}, {Kw{n_callback, callback}});
        if (t.exists) call_method(sftp, n_chmod, {partial, nb::int_(t.mode)});
        if (job.aborted) raise(PyExc_InterruptedError, "the transfer was given up");
        move_onto(sftp, partial, make_str(t.path), t.exists);
    } catch (nb::python_error& e) {
        Except handler(e);
        remove_quietly(sftp, transport, partial);
        throw;
    }
    return nb::none();
}

// upload and download: source first; every Exception is reported by the failure line.  The work
// runs in a worker; a transfer that moves no byte for the no-progress limit is given up and its
// connection closed (paramiko's own closing of the remote file would wait again otherwise).
nb::object transfer(const Call& c, bool up) {
    nb::handle self = c[0], source = c[1], target = c[2];
    const char* verb = up ? "upload" : "download";
    nb::object dict = getattr(self, n_dict);
    try {
        PyObject* cached = PyDict_GetItemWithError(dict.ptr(), n_client.get());
        if (!cached && PyErr_Occurred()) raise_current();
        if (cached && transfer_lost(self, cached)) {
            cut_connection(self, cached);  // so that it counts as lost, and connects again
            if (!truthy(connected_client(self))) {
                say(c, {nb::str("failed to "), nb::str(verb), nb::str(": not connected")});
                return nb::none();
            }
        }
        nb::object sftp = getattr(self, n_sftp);
        getattr(sftp, up ? n_put : n_get);  // without a connection: 'NoneType' object has no ...
        nb::object client = getattr(self, n_client);
        const Limits lim = limits();
        auto job = std::make_shared<Job>();
        nb::object callback = progress_callback(job);
        if (up) {
            job->body = [sftp, transport = transport_of(client), source = nb::borrow(source),
                         target = nb::borrow(target), callback](Job& job) {
                return upload_body(job, sftp, transport, source, target, callback);
            };
        } else {
            job->body = [sftp, source = nb::borrow(source), target = nb::borrow(target),
                         open = c.global(n_open), callback](Job& job) {
                return download_body(job, sftp, source, target, open, callback);
            };
        }
        auto last_move = Clock::now();
        unsigned long long seen = 0;
        const Watch watch{.stop =
                              [&] {
                                  const auto now = Clock::now();
                                  if (job->progress != seen) {
                                      seen = job->progress;
                                      last_move = now;
                                  }
                                  if (now - last_move < lim.no_progress) return std::string();
                                  return "no progress for " + shown(lim.no_progress) +
                                         "; the connection was closed";
                              },
                          .cut = [&] { cut_connection(self, client); }};
        run_watched(c, job, watch, PyExc_TimeoutError);
        say(c, {nb::str(verb), nb::str(" successfully: "), source, nb::str(" -> "), target});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        PyObject* client = PyDict_GetItem(dict.ptr(), n_client.get());
        nb::object reason = reason_of(handler.value(), client ? client : Py_None);
        say(c, {nb::str("failed to "), nb::str(verb), nb::str(": "), reason});
    }
    return nb::none();
}

}  // namespace

nb::object upload(Call& c) {
    return transfer(c, true);
}

nb::object download(Call& c) {
    return transfer(c, false);
}

}  // namespace pelorix::ssh
