// A small SSH client for one remote account: the module itself, construction, connecting (hosts
// the user already trusts must show their known key; the whole handshake bounded by one
// deadline), the SFTP channel and closing.  Commands are in run.cpp, transfers in transfer.cpp,
// the bounded waits in watch.cpp; paramiko is looked up in the module's namespace at every call.
#include "ssh.hpp"

namespace pelorix::ssh {
namespace {

const Name n_SSHClient("SSHClient"), n_AutoAddPolicy("AutoAddPolicy"), n_RSAKey("RSAKey"),
    n_from_private_key_file("from_private_key_file"),
    n_load_system_host_keys("load_system_host_keys"),
    n_set_missing_host_key_policy("set_missing_host_key_policy"), n_connect("connect"),
    n_open_sftp("open_sftp"), n_pkey_path("pkey_path"), n_pkey("pkey"), n_timeout("timeout"),
    n_banner_timeout("banner_timeout"), n_auth_timeout("auth_timeout"),
    n_channel_timeout("channel_timeout");

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

// ssh.connect(self.host, port=..., username=..., pkey=... or password=..., time-outs), as the
// account asks.  paramiko's time-outs hold each phase (TCP, banner, each authentication attempt,
// a channel's opening) only; they back up the one deadline of the whole connection.
void connect_with(nb::handle self, nb::handle ssh, nb::handle paramiko, const Limits& limits) {
    nb::object pkey;
    if (truthy(getattr(self, n_pkey_path)))
        pkey = call_method(getattr(paramiko, n_RSAKey), n_from_private_key_file,
                           {getattr(self, n_pkey_path)});
    nb::object host = getattr(self, n_host), port = getattr(self, n_port),
               username = getattr(self, n_username);
    const Name& secret = pkey.is_valid() ? n_pkey : n_password;
    nb::object value = pkey.is_valid() ? pkey : getattr(self, n_password);
    // The back-ups are longer than the deadline, so that the deadline is what ends a connection
    // attempt.  `timeout` holds the TCP connect, which has no transport to close yet, and the key
    // exchange: it ends within the grace the caller gives the worker after the deadline.
    nb::object tcp = nb::float_((limits.connect + grace).count());
    nb::object phase = nb::float_(2 * limits.connect.count());
    nb::object channel = nb::float_(2 * limits.no_progress.count());
    call_method(
        ssh, n_connect, {host},
        {Kw{n_port, port}, Kw{n_username, username}, Kw{secret, value}, Kw{n_timeout, tcp},
         Kw{n_banner_timeout, phase}, Kw{n_auth_timeout, phase}, Kw{n_channel_timeout, channel}});
}

// Connects in a worker while the caller keeps the deadline: when it passes, the transport that
// connect made is closed, which ends whichever phase is waiting (paramiko tries agent keys, the
// keys in ~/.ssh and the password in turn, each with its own time-out).
void connect_within_deadline(const Call& c, nb::handle self, nb::handle ssh) {
    const Limits lim = limits();
    auto job = std::make_shared<Job>();
    job->body = [self = nb::borrow(self), ssh = nb::borrow(ssh), paramiko = c.global(n_paramiko),
                 lim](Job& work) {
        connect_with(self, ssh, paramiko, lim);
        if (work.aborted) call_method(ssh, n_close, {});  // too late: the caller gave up on it
        return nb::none();
    };
    const auto deadline = Clock::now() + lim.connect;
    const Watch watch{
        .stop =
            [&] { return Clock::now() < deadline ? "" : "no answer within " + shown(lim.connect); },
        .cut =
            [&] {
                nb::object transport = call_method(ssh, n_get_transport, {});
                if (!transport.is_none()) call_method(transport, n_close, {});
            }};
    run_watched(c, job, watch, PyExc_TimeoutError);
}

// Prints the failure line of a connection attempt; the cached property then holds None.
nb::object connection_failed(const Call& c, nb::handle self, nb::handle ssh, nb::handle error) {
    say(c, {nb::str("Failed to connect to "), getattr(self, n_host), nb::str(":"),
            getattr(self, n_port), nb::str(" - "), reason_of(error, ssh)});
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
        return connection_failed(c, self, ssh, handler.value());
    }
    nb::object policy = call_method(c.global(n_paramiko), n_AutoAddPolicy, {});
    call_method(ssh, n_set_missing_host_key_policy, {policy});
    try {
        connect_within_deadline(c, self, ssh);
        say(c, {nb::str("Connected to "), getattr(self, n_host), nb::str(":"),
                getattr(self, n_port), nb::str(" as "), getattr(self, n_username)});
        return ssh;
    } catch (nb::python_error& e) {
        Except handler(e, PyExc_Exception);
        return connection_failed(c, self, ssh, handler.value());
    }
}

// Opens the SFTP channel (its subsystem request and version exchange) under the transfers'
// no-progress limit.
nb::object sftp(Call& c) {
    nb::handle self = c[0];
    nb::object client = getattr(self, n_client);
    if (!truthy(client)) {
        print(c, {nb::str(not_connected)});
        return nb::none();
    }
    const Limits lim = limits();
    auto job = std::make_shared<Job>();
    job->body = [client](Job&) { return call_method(client, n_open_sftp, {}); };
    const auto deadline = Clock::now() + lim.no_progress;
    const Watch watch{.stop =
                          [&] {
                              return Clock::now() < deadline
                                         ? ""
                                         : "no answer for " + shown(lim.no_progress) +
                                               "; the connection was closed";
                          },
                      .cut = [&] { cut_connection(self, client); }};
    return run_watched(c, job, watch, PyExc_TimeoutError);
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
