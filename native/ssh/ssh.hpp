// What the parts of the ssh module share: the names it looks up, the limits that bound every wait
// on the network, the worker thread a call runs its network work in while the caller watches it,
// and how a connection that was lost is told apart from one the user closed.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "names.hpp"
#include "runtime.hpp"

namespace pelorix::ssh {

inline const Name n_paramiko("paramiko"), n_username("username"), n_password("password"),
    n_client("_SSHClient__client"), n_sftp("_SSHClient__sftp"), n_put("put"),
    n_get_transport("get_transport"), n_is_active("is_active"), n_dict("__dict__"), n_pop("pop"),
    n_callback("callback"), n_closed("closed");

inline const char* const not_connected = "SSH client is not connected.";

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// A worker whose connection was cut gets this long to notice and clean up; Ctrl+C must end a
// call within two seconds.
inline constexpr Seconds grace{1.0};

// How long the network may keep a call waiting.  The constants are the working values; the
// environment variable PELORIX_SSH_TIME_SCALE (a factor in (0, 1], read at every call) shortens
// them all together so that the tests of stalled connections finish in seconds.
struct Limits {
    Seconds connect;               // TCP connect to authenticated
    Seconds no_progress;           // a transfer (or opening SFTP) that moves no byte
    Seconds keepalive_every;       // quiet time before asking the server whether it is there
    Seconds keepalive_unanswered;  // an unanswered question after which the server is gone
};
Limits limits();

// "30 s", "1.5 s": a limit as the messages show it.
std::string shown(Seconds s);

// One piece of work done in a worker thread while the caller waits.  The thread is an ordinary
// (not daemon) thread of the threading module: the interpreter joins it before it finalizes, so
// it never meets a finalizing interpreter with C++ frames on its stack; every worker ends soon
// after its call returns, since an aborted one has its connection closed under it.  Shared by
// the two threads; read and written only with the GIL held.
struct Job {
    std::function<nb::object(Job&)> body;  // runs in the worker
    nb::object result, error;              // what the body returned or raised
    bool done = false;
    bool aborted = false;  // set by the caller before it cuts the connection: commit nothing
    unsigned long long progress = 0;  // moved on by the body whenever bytes move
    std::string leftover;             // a local partial file to remove if the worker is left behind
};

// A callable for paramiko's transfer callbacks, callback(done, total), that moves the job on.
nb::object progress_callback(const std::shared_ptr<Job>& job);

// What the caller checks while it waits: `stop` gives a reason once the work is to be given up,
// `cut` closes the connection so that the worker's waits end.
struct Watch {
    std::function<std::string()> stop;
    std::function<void()> cut;
};

// Runs job.body in a worker thread and waits for it, in short slices so that Ctrl+C and `watch`
// are heard.  Returns what the body returned and raises what it raised.  When `watch.stop` gives
// a reason, or an exception such as KeyboardInterrupt ends the wait, the job is marked aborted and
// the connection cut, the worker gets a short grace to finish its clean-up, and then `error_type`
// with that reason is raised (or the interrupting exception goes on).
nb::object run_watched(const Call& c, const std::shared_ptr<Job>& job, const Watch& watch,
                       PyObject* error_type);

// Asks a quiet server, now and then, for an answer (keepalive@openssh.com, as OpenSSH's
// ServerAliveInterval does), each question in a worker of its own; `check` gives a reason once a
// question went unanswered too long.  Anything heard from the server counts as an answer.
class Keepalive {
public:
    Keepalive(const Call& c, nb::handle transport, const Limits& limits);
    void heard() { quiet_since_ = Clock::now(); }
    std::string check();
    // Waits up to `most` for a question still out, and cuts the connection when it stays
    // unanswered, so that no question is left waiting on a server that is gone.
    void settle(Seconds most, const Watch& watch);
    // How long the question out may still wait for its answer.
    Seconds patience() const;

private:
    const Call& c_;
    nb::object transport_;
    Limits limits_;
    Clock::time_point quiet_since_ = Clock::now(), asked_at_;
    std::shared_ptr<Job> question_;
    nb::object asker_;  // the question's thread
};

// The transport of a connected paramiko client, or None (closed by the user, or no transport).
nb::object transport_of(nb::handle client);
// True for a client whose connection ended without the user closing it: its transport is still
// set (paramiko's close() drops it) but no longer active.
bool is_lost(nb::handle client);
// For a transfer: the client is lost, or its transport has not yet noticed that the cached SFTP
// channel closed under it (paramiko closes the channels of a dying connection first).
bool transfer_lost(nb::handle self, nb::handle client);
// Ends a connection on our own account: only the transport is closed, so the client counts as
// lost (not closed) and the next call connects again; the SFTP channel over it is forgotten.
void cut_connection(nb::handle self, nb::handle client);
// self.__client, connected again first when the connection was lost (printing the connection
// line, or the failure line and then giving None while the lost client stays cached).
nb::object connected_client(nb::handle self);

// One printed line from its pieces, each converted with str().
void say(const Call& c, std::initializer_list<nb::handle> parts);
// The text of a failure line: str(e), or, where that is empty, its type and what happened.
nb::object reason_of(nb::handle error, nb::handle client);

nb::object run(Call& c);
nb::object upload(Call& c);
nb::object download(Call& c);

}  // namespace pelorix::ssh
