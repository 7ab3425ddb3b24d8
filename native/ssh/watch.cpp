// Bounded waits on the network: the limits, the worker thread a call runs its network work in
// while the caller listens for Ctrl+C and for a stall, the keepalive questions that tell a quiet
// server from a gone one, and how a lost connection is recognised and connected again.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "ssh.hpp"

namespace pelorix::ssh {
namespace {

const Name n_threading_Thread("Thread"), n_target("target"), n_start("start"), n_join("join"),
    n_global_request("global_request"), n_type_name("__name__"), n_get_channel("get_channel");

// How often a waiting caller looks at its watch (Ctrl+C cuts a wait short at once).
constexpr Seconds slice{0.25};

void work(Job& job) {
    try {
        job.result = job.body(job);
    } catch (nb::python_error& e) {
        job.error = nb::borrow(e.value());
    } catch (...) {
        set_error_from_exception(nb::str("pelorix.toolkit.ssh").ptr());
        nb::python_error e;
        job.error = nb::borrow(e.value());
    }
    job.body = nullptr;  // its references go now, with the GIL held
    job.done = true;
}

nb::object start_worker(const Call& c, const std::shared_ptr<Job>& job) {
    nb::object target = nb::cpp_function([job]() { work(*job); });
    nb::object thread =
        call(getattr(import_now(c, "threading"), n_threading_Thread), {}, {Kw{n_target, target}});
    call_method(thread, n_start, {});
    return thread;
}

// thread.join(slice): the wait releases the interpreter and is cut short by a signal, whose
// handler's exception (KeyboardInterrupt) comes out of it.
void join_slice(nb::handle thread) {
    call_method(thread, n_join, {nb::float_(slice.count())});
}

// Marks the job aborted, cuts the connection and gives the worker a short grace; a worker that
// is still busy after it is left to finish on its own, its local partial file removed.
void abort_job(Job& job, nb::handle thread, const Watch& watch) {
    job.aborted = true;
    const auto until = Clock::now() + grace;
    while (!job.done && Clock::now() < until) {
        watch.cut();  // again each time: the connection may not have existed yet the first time
        join_slice(thread);
    }
    if (!job.done && !job.leftover.empty()) ::unlink(job.leftover.c_str());
}

}  // namespace

Limits limits() {
    double scale = 1.0;
    if (const char* text = std::getenv("PELORIX_SSH_TIME_SCALE")) {
        char* end = nullptr;
        const double value = std::strtod(text, &end);
        if (end != text && *end == '\0' && value > 0.0 && value <= 1.0) scale = value;
    }
    return {.connect = Seconds(30.0 * scale),
            .no_progress = Seconds(60.0 * scale),
            .keepalive_every = Seconds(15.0 * scale),
            .keepalive_unanswered = Seconds(75.0 * scale)};
}

std::string shown(Seconds s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g s", s.count());
    return text;
}

nb::object progress_callback(const std::shared_ptr<Job>& job) {
    return nb::cpp_function([job](nb::handle, nb::handle) { ++job->progress; });
}

nb::object run_watched(const Call& c, const std::shared_ptr<Job>& job, const Watch& watch,
                       PyObject* error_type) {
    nb::object thread = start_worker(c, job);
    std::string reason;
    try {
        while (!job->done && reason.empty()) {
            join_slice(thread);
            if (!job->done) reason = watch.stop();
        }
    } catch (nb::python_error& e) {
        Except handler(e);  // KeyboardInterrupt, or whatever else ended the wait, goes on
        abort_job(*job, thread, watch);
        throw;
    }
    if (!reason.empty()) {
        abort_job(*job, thread, watch);
        raise(error_type, "%s", reason.c_str());
    }
    if (job->error.is_valid()) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(job->error.ptr())), job->error.ptr());
        raise_current();
    }
    return job->result;
}

Keepalive::Keepalive(const Call& c, nb::handle transport, const Limits& limits)
    : c_(c), transport_(nb::borrow(transport)), limits_(limits) {}

std::string Keepalive::check() {
    const auto now = Clock::now();
    if (question_) {
        if (question_->done) {
            question_.reset();
            quiet_since_ = now;
        } else if (now - asked_at_ > limits_.keepalive_unanswered) {
            return "no answer to keepalives for " + shown(limits_.keepalive_unanswered);
        }
        return {};
    }
    if (now - quiet_since_ < limits_.keepalive_every) return {};
    // paramiko's own keepalive asks for no reply, so it cannot find a server that is gone; a
    // global request that wants one waits without a time-out, hence its own thread
    question_ = std::make_shared<Job>();
    question_->body = [transport = transport_](Job&) {
        return call_method(transport, n_global_request, {nb::str("keepalive@openssh.com")});
    };
    asker_ = start_worker(c_, question_);
    asked_at_ = now;
    return {};
}

Seconds Keepalive::patience() const {
    if (!question_ || question_->done) return Seconds(0);
    const Seconds left = limits_.keepalive_unanswered - (Clock::now() - asked_at_);
    return std::max(Seconds(0), left);
}

void Keepalive::settle(Seconds most, const Watch& watch) {
    const auto until = Clock::now() + most;
    while (question_ && !question_->done && Clock::now() < until) join_slice(asker_);
    if (question_ && !question_->done) watch.cut();
}

nb::object transport_of(nb::handle client) {
    if (!truthy(client)) return nb::none();
    return call_method(client, n_get_transport, {});
}

bool is_lost(nb::handle client) {
    nb::object transport = transport_of(client);
    return !transport.is_none() && !truthy(call_method(transport, n_is_active, {}));
}

bool transfer_lost(nb::handle self, nb::handle client) {
    nb::object transport = transport_of(client);
    if (transport.is_none()) return false;  // closed by the user: that stays as it is
    if (!truthy(call_method(transport, n_is_active, {}))) return true;
    PyObject* sftp = PyDict_GetItemWithError(getattr(self, n_dict).ptr(), n_sftp.get());
    if (!sftp) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    if (sftp == Py_None) return false;
    return truthy(getattr(call_method(sftp, n_get_channel, {}), n_closed));
}

void cut_connection(nb::handle self, nb::handle client) {
    nb::object transport = transport_of(client);
    if (!transport.is_none()) call_method(transport, n_close, {});
    call_method(getattr(self, n_dict), n_pop, {n_sftp, nb::none()});
}

nb::object connected_client(nb::handle self) {
    nb::object client = getattr(self, n_client);
    if (!is_lost(client)) return client;
    nb::object dict = getattr(self, n_dict);
    call_method(dict, n_pop, {n_sftp, nb::none()});
    call_method(dict, n_pop, {n_client});
    nb::object fresh;
    try {
        fresh = getattr(self, n_client);  // the cached property connects again, with its lines
    } catch (nb::python_error& e) {
        Except handler(e);
        setitem(dict, n_client, client);
        throw;
    }
    if (truthy(fresh)) return fresh;
    setitem(dict, n_client, client);  // None stays for a client that never connected
    return nb::none();
}

void say(const Call& c, std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle p : parts) items.append(to_str(p));
    print(c, {join("", items)});
}

nb::object reason_of(nb::handle error, nb::handle client) {
    nb::str text = to_str(error);
    if (PyUnicode_GetLength(text.ptr()) > 0) return text;
    nb::object type_name =
        getattr(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr()))), n_type_name);
    const char* what = is_lost(client) ? " (connection lost)" : " (no message)";
    return concat({type_name, nb::str(what)});
}

}  // namespace pelorix::ssh
