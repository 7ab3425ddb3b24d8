// Remote commands: run() rewrites sudo to read the password from standard input, hands it the
// account password, and prints both output streams as they come.  A command may stay silent as
// long as it likes; a server that stops answering keepalives ends the call with ConnectionError.
#include <poll.h>

#include <optional>
#include <string>
#include <string_view>

#include "ssh.hpp"

namespace pelorix::ssh {
namespace {

const Name n_exec_command("exec_command"), n_flush("flush"), n_channel("channel"),
    n_eof_received("eof_received"), n_recv_ready("recv_ready"),
    n_recv_stderr_ready("recv_stderr_ready"), n_recv("recv"), n_recv_stderr("recv_stderr"),
    n_shutdown_write("shutdown_write"), n_recv_exit_status("recv_exit_status");

// Bytes that continue a word around "sudo": letters, digits, '_', '-', '.', and every byte of a
// non-ASCII character, so "pseudo", "sudoers", "visudo" and "sudo.conf" are left alone.
bool word_byte(unsigned char b) {
    return b >= 0x80 || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') ||
           (b >= 'a' && b <= 'z') || b == '_' || b == '-' || b == '.';
}

bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
}

// True when the text right after a "sudo" already asks for the password on standard input.
bool reads_stdin_already(std::string_view rest) {
    if (rest.empty() || !is_space(rest.front())) return false;
    while (!rest.empty() && is_space(rest.front())) rest.remove_prefix(1);
    for (std::string_view flag : {std::string_view("-S"), std::string_view("--stdin")}) {
        if (rest.substr(0, flag.size()) != flag) continue;
        const std::string_view after = rest.substr(flag.size());
        if (after.empty() || !word_byte(static_cast<unsigned char>(after.front()))) return true;
    }
    return false;
}

// Makes every sudo that stands as a word read its password from standard input; sudo would
// otherwise insist on a terminal, which exec_command does not allocate.
nb::object with_password_on_stdin(nb::handle command) {
    PyObject* raw = PyUnicode_AsEncodedString(command.ptr(), "utf-8", "surrogatepass");
    if (!raw) raise_current();
    const nb::object owner = nb::steal(raw);
    const std::string_view text(PyBytes_AS_STRING(raw),
                                static_cast<std::size_t>(PyBytes_GET_SIZE(raw)));
    constexpr std::string_view word = "sudo";
    std::string out;
    std::size_t done = 0;
    for (std::size_t at = text.find(word); at != text.npos; at = text.find(word, at + 1)) {
        const std::size_t end = at + word.size();
        const bool starts = at == 0 || !word_byte(static_cast<unsigned char>(text[at - 1]));
        const bool ends = end == text.size() || !word_byte(static_cast<unsigned char>(text[end]));
        if (!starts || !ends || reads_stdin_already(text.substr(end))) continue;
        out.append(text.substr(done, end - done));
        out.append(" -S");
        done = end;
    }
    if (done == 0) return nb::borrow(command);
    out.append(text.substr(done));
    return make_str(out);
}

// Hands the account password to the command (sudo -S reads it first), then ends its input so a
// command that reads standard input to the end finishes.  A command may be over and its channel
// closed before the password gets there; that is no failure of run.
void send_password(nb::handle self, nb::handle stdin_file, nb::handle channel) {
    nb::object password_line =
        nb::steal(PyNumber_Add(getattr(self, n_password).ptr(), nb::str("\n").ptr()));
    if (!password_line.is_valid()) raise_current();
    if (truthy(getattr(channel, n_closed))) return;
    try {
        call_method(stdin_file, n_write, {password_line});
        call_method(stdin_file, n_flush, {});
        call_method(channel, n_shutdown_write, {});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        if (!truthy(getattr(channel, n_closed))) throw;
    }
}

void append_bytes(std::string& into, nb::handle chunk) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &size) < 0) raise_current();
    into.append(data, static_cast<std::size_t>(size));
}

// Sleeps until the channel's readiness pipe says there is data or an end, or a short while has
// passed, with the interpreter free meanwhile: paramiko fills the buffers from its own thread.
void wait_readable(int fd) {
    constexpr int slice_ms = 100;
    pollfd p{fd, POLLIN, 0};
    PyThreadState* interpreter = PyEval_SaveThread();
    ::poll(&p, 1, slice_ms);
    PyEval_RestoreThread(interpreter);
    if (PyErr_CheckSignals() < 0) raise_current();
}

struct Output {
    std::string out, err;
    std::string lost;  // why the connection was given up, when the keepalives found it gone
};

// Reads standard output and standard error as they come, both together: reading one to its end
// first stalls a command that fills the other's window.  The end of input is known once the
// channel has seen EOF (or closed) and both buffers are empty; data always arrives before that.
// While nothing comes, the keepalives ask whether the server is still there; when it is not, the
// connection is cut, which closes the channel and ends the loop.
Output drain(nb::handle channel, std::optional<Keepalive>& keepalive, const Watch& watch) {
    constexpr int chunk = 1 << 18;
    const nb::object size = nb::int_(chunk);
    const int fd = PyObject_AsFileDescriptor(channel.ptr());
    if (fd < 0) raise_current();
    Output got;
    for (;;) {
        const bool ended =
            truthy(getattr(channel, n_eof_received)) || truthy(getattr(channel, n_closed));
        bool progress = false;
        if (truthy(call_method(channel, n_recv_ready, {}))) {
            append_bytes(got.out, call_method(channel, n_recv, {size}));
            progress = true;
        }
        if (truthy(call_method(channel, n_recv_stderr_ready, {}))) {
            append_bytes(got.err, call_method(channel, n_recv_stderr, {size}));
            progress = true;
        }
        if (progress) {
            if (keepalive) keepalive->heard();
            continue;
        }
        if (ended) return got;
        if (keepalive && got.lost.empty()) {
            got.lost = keepalive->check();
            if (!got.lost.empty()) watch.cut();
        }
        wait_readable(fd);
    }
}

// Remote output is shown even where it is not valid UTF-8, with replacement characters.
nb::str decode(const std::string& data) {
    const auto size = static_cast<Py_ssize_t>(data.size());
    PyObject* s = PyUnicode_DecodeUTF8(data.data(), size, "replace");
    if (!s) raise_current();
    return nb::steal<nb::str>(s);
}

// What ConnectionError says when the connection is found gone during a command: the host, the
// command as the user gave it, and why.
std::string lost_message(nb::handle self, nb::handle command, const std::string& why) {
    nb::object host = getattr(self, n_host), port = getattr(self, n_port);
    PyObject* text = PyUnicode_FromFormat("connection to %S:%S lost while running %R (%s)",
                                          host.ptr(), port.ptr(), command.ptr(), why.c_str());
    if (!text) raise_current();
    return std::string(utf8(nb::steal(text)));
}

}  // namespace

nb::object run(Call& c) {
    nb::handle self = c[0];
    nb::object client = connected_client(self);
    if (!truthy(client)) {
        print(c, {nb::str(not_connected)});
        return nb::none();
    }
    nb::object command = with_password_on_stdin(c[1]);
    nb::object transport = transport_of(client);
    std::optional<Keepalive> keepalive;
    if (!transport.is_none()) keepalive.emplace(c, transport, limits());
    const Watch watch{.stop =
                          [&] {
                              const std::string why = keepalive ? keepalive->check() : "";
                              return why.empty() ? why : lost_message(self, c[1], why);
                          },
                      .cut = [&] { cut_connection(self, client); }};
    // stdin, stdout, stderr = self.__client.exec_command(command), opened while the keepalives
    // watch: a stalled server would leave the channel's opening waiting for ever
    auto job = std::make_shared<Job>();
    job->body = [self = nb::borrow(self), client, command](Job&) {
        const auto files = unpack(call_method(client, n_exec_command, {command}), 3);
        nb::object channel = getattr(files[1], n_channel);
        send_password(self, files[0], channel);
        return channel;
    };
    nb::object channel = run_watched(c, job, watch, PyExc_ConnectionError);
    Output got;
    try {
        got = drain(channel, keepalive, watch);
    } catch (nb::python_error& e) {
        Except handler(e);  // Ctrl+C: a question still out gets a moment, then the connection goes
        if (keepalive) keepalive->settle(grace, watch);
        throw;
    }
    if (keepalive) keepalive->settle(keepalive->patience(), watch);
    print(c, {decode(got.out)});
    if (!got.err.empty()) print(c, {decode(got.err)});
    // A command that ended without an exit status is no loss by itself (paramiko ignores
    // exit-signal; the server still sends the end of output); one whose connection went first
    // is, even where the transport has not noticed yet (paramiko closes the channels first).
    if (transport.is_none()) return nb::none();
    const bool active = truthy(call_method(transport, n_is_active, {}));
    if (active && truthy(getattr(channel, n_eof_received))) return nb::none();
    // A closed channel counts as having its status; the status itself is -1 until one came.
    if (!equals(call_method(channel, n_recv_exit_status, {}), nb::int_(-1))) return nb::none();
    if (active) cut_connection(self, client);
    const std::string why = got.lost.empty() ? "the connection was cut" : got.lost;
    raise(PyExc_ConnectionError, "%s", lost_message(self, c[1], why).c_str());
}

}  // namespace pelorix::ssh
