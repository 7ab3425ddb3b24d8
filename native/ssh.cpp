// A small SSH client for one remote account: connects lazily with a password or an RSA key (hosts
// the user already trusts must show their known key), runs remote commands (answering sudo's
// password prompt) and copies files over SFTP, all through the paramiko module bound in this
// module's namespace, looked up at every call.
#include <poll.h>

#include <string>
#include <string_view>

#include "names.hpp"
#include "runtime.hpp"

namespace pelorix::ssh {
namespace {

const Name n_paramiko("paramiko"), n_SSHClient("SSHClient"), n_AutoAddPolicy("AutoAddPolicy"),
    n_RSAKey("RSAKey"), n_from_private_key_file("from_private_key_file"),
    n_load_system_host_keys("load_system_host_keys"),
    n_set_missing_host_key_policy("set_missing_host_key_policy"), n_connect("connect"),
    n_open_sftp("open_sftp"), n_exec_command("exec_command"), n_flush("flush"),
    n_channel("channel"), n_closed("closed"), n_eof_received("eof_received"),
    n_recv_ready("recv_ready"), n_recv_stderr_ready("recv_stderr_ready"), n_recv("recv"),
    n_recv_stderr("recv_stderr"), n_shutdown_write("shutdown_write"), n_put("put"),
    n_username("username"), n_password("password"), n_pkey_path("pkey_path"), n_pkey("pkey"),
    n_client("_SSHClient__client"), n_sftp("_SSHClient__sftp");

const char* const not_connected = "SSH client is not connected.";

// One printed line from its pieces, each converted with str().
void say(const Call& c, std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle p : parts) items.append(to_str(p));
    print(c, {join("", items)});
}

// ---- construction, connection, closing ----

nb::object init(Call& c) {
    nb::handle self = c[0];
    setattr(self, n_username, c[1]);
    setattr(self, n_password, c[2]);
    setattr(self, n_host, c[3]);
    setattr(self, n_port, c[4]);
    setattr(self, n_pkey_path, c[5]);
    return nb::none();
}

// ssh.connect(self.host, port=..., username=..., pkey=... or password=...), as the account asks.
void connect_with(nb::handle self, nb::handle ssh, nb::handle paramiko) {
    nb::object pkey;
    if (truthy(getattr(self, n_pkey_path)))
        pkey = call_method(getattr(paramiko, n_RSAKey), n_from_private_key_file,
                           {getattr(self, n_pkey_path)});
    nb::object host = getattr(self, n_host), port = getattr(self, n_port),
               username = getattr(self, n_username);
    if (pkey.is_valid()) {
        call_method(ssh, n_connect, {host},
                    {Kw{n_port, port}, Kw{n_username, username}, Kw{n_pkey, pkey}});
        return;
    }
    nb::object password = getattr(self, n_password);
    call_method(ssh, n_connect, {host},
                {Kw{n_port, port}, Kw{n_username, username}, Kw{n_password, password}});
}

// Prints the failure line of a connection attempt; the cached property then holds None.
nb::object connection_failed(const Call& c, nb::handle self, nb::handle error) {
    say(c, {nb::str("Failed to connect to "), getattr(self, n_host), nb::str(":"),
            getattr(self, n_port), nb::str(" - "), error});
    return nb::none();
}

nb::object client(Call& c) {
    nb::handle self = c[0];
    nb::object ssh = call_method(c.global(n_paramiko), n_SSHClient, {});
    // The hosts the user already trusts (~/.ssh/known_hosts, when there is one) are checked, so a
    // machine answering for a known host with another key is refused before any password goes
    // out.  Loaded as system keys, they are never written back: unknown hosts the policy accepts
    // are kept in memory only.  A file the library cannot read (a line it does not understand,
    // such as a certificate authority's) fails the connection: going on without it would
    // silently trust every host again.
    try {
        call_method(ssh, n_load_system_host_keys, {});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        return connection_failed(c, self, handler.value());
    }
    nb::object policy = call_method(c.global(n_paramiko), n_AutoAddPolicy, {});
    call_method(ssh, n_set_missing_host_key_policy, {policy});
    try {
        connect_with(self, ssh, c.global(n_paramiko));
        say(c, {nb::str("Connected to "), getattr(self, n_host), nb::str(":"),
                getattr(self, n_port), nb::str(" as "), getattr(self, n_username)});
        return ssh;
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        return connection_failed(c, self, handler.value());
    }
}

nb::object sftp(Call& c) {
    nb::handle self = c[0];
    if (truthy(getattr(self, n_client)))
        return call_method(getattr(self, n_client), n_open_sftp, {});
    print(c, {nb::str(not_connected)});
    return nb::none();
}

nb::object close(Call& c) {
    nb::handle self = c[0];
    if (truthy(getattr(self, n_client))) {
        call_method(getattr(self, n_client), n_close, {});
        say(c, {nb::str("Connection to "), getattr(self, n_host), nb::str(":"),
                getattr(self, n_port), nb::str(" closed")});
    }
    return nb::none();
}

// ---- remote commands ----

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
};

// Reads standard output and standard error as they come, both together: reading one to its end
// first stalls a command that fills the other's window.  The end of input is known once the
// channel has seen EOF (or closed) and both buffers are empty; data always arrives before that.
Output drain(nb::handle channel) {
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
        if (progress) continue;
        if (ended) return got;
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

nb::object run(Call& c) {
    nb::handle self = c[0];
    if (!truthy(getattr(self, n_client))) {
        print(c, {nb::str(not_connected)});
        return nb::none();
    }
    nb::object command = with_password_on_stdin(c[1]);
    // stdin, stdout, stderr = self.__client.exec_command(command)
    const auto files = unpack(call_method(getattr(self, n_client), n_exec_command, {command}), 3);
    nb::object channel = getattr(files[1], n_channel);
    send_password(self, files[0], channel);
    const Output got = drain(channel);
    print(c, {decode(got.out)});
    if (!got.err.empty()) print(c, {decode(got.err)});
    return nb::none();
}

// ---- file transfer ----

// self.__sftp.METHOD(source, target) for upload and download, which both take the source first;
// every Exception is reported rather than raised.
nb::object transfer(const Call& c, const Name& method, const char* verb) {
    nb::handle self = c[0], source = c[1], target = c[2];
    try {
        call_method(getattr(self, n_sftp), method, {source, target});
        say(c, {nb::str(verb), nb::str(" successfully: "), source, nb::str(" -> "), target});
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        say(c, {nb::str("failed to "), nb::str(verb), nb::str(": "), handler.value()});
    }
    return nb::none();
}

nb::object upload(Call& c) {
    return transfer(c, n_put, "upload");
}

nb::object download(Call& c) {
    return transfer(c, n_get, "download");
}

const FunctionSpec init_spec{.name = "__init__",
                             .body = init,
                             .params = {{"self"},
                                        {"username", "str", Check::Str},
                                        {"password", "str", Check::Str},
                                        {"host", "str", Check::Str},
                                        {"port", "int", Check::Int},
                                        {"pkey_path"}}};
const FunctionSpec upload_spec{
    .name = "upload",
    .body = upload,
    .params = {{"self"}, {"local_path", "str", Check::Str}, {"remote_path", "str", Check::Str}}};
const FunctionSpec download_spec{
    .name = "download",
    .body = download,
    .params = {{"self"}, {"remote_path", "str", Check::Str}, {"local_path", "str", Check::Str}}};
const FunctionSpec run_spec{.name = "run",
                            .body = run,
                            .params = {{"self"}, {"command", "str", Check::Str}},
                            .doc = docstring(R"(
run command on remote host

        e.g. 'bash -l -c "cd ~;ls -al"'
        e.g. "echo 'password' | sudo -S systemctl daemon-reload"

        Args:
            command (str): command to run
        )")};
const FunctionSpec close_spec{.name = "close", .body = close, .params = {{"self"}}};
const FunctionSpec sftp_spec{.name = "__sftp", .body = sftp, .params = {{"self"}}};
const FunctionSpec client_spec{.name = "__client", .body = client, .params = {{"self"}}};

void build_module(nb::module_ m) {
    Module mod(m);
    mod.import_from("functools", {"cached_property"});
    mod.import("paramiko");

    nb::object cached_property = mod.get("cached_property");
    mod.set("SSHClient",
            ClassBuilder(mod, "SSHClient")
                .method(init_spec, {nb::int_(22), nb::none()})
                .methods({&upload_spec, &download_spec, &run_spec, &close_spec})
                .method(sftp_spec, {}, cached_property)
                .method(client_spec, {}, cached_property)
                .static_attributes({"username", "password", "host", "port", "pkey_path"})
                .make(reinterpret_cast<PyObject*>(&PyType_Type),
                      nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))));
}

}  // namespace
}  // namespace pelorix::ssh

PELORIX_MODULE(ssh, m) {
    pelorix::ssh::build_module(m);
}
