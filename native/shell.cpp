// Local process and terminal tools: which process listens on a port, terminating a process
// politely and then forcibly, and opening a new terminal window on Windows, macOS or Linux.
#include <cctype>
#include <string_view>

#include "names.hpp"
#include "runtime.hpp"

namespace pelorix::shell {
namespace {

const Name n_platform("platform"), n_shutil("shutil"), n_subprocess("subprocess"),
    n_find_process_by_port("find_process_by_port"), n_net_connections("net_connections"),
    n_laddr("laddr"), n_raddr("raddr"), n_status("status"), n_pid("pid"), n_Process("Process"),
    n_terminate("terminate"), n_wait("wait"), n_timeout("timeout"), n_kill("kill"),
    n_NoSuchProcess("NoSuchProcess"), n_TimeoutExpired("TimeoutExpired"), n_system("system"),
    n_which("which"), n_environ("environ"), n_lower("lower"), n_Popen("Popen"),
    n_creationflags("creationflags"), n_cwd("cwd"), n_CREATE_NEW_CONSOLE("CREATE_NEW_CONSOLE");

bool contains(nb::handle container, nb::handle item) {
    const int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) raise_current();
    return r == 1;
}

// ---- port lookup and process termination ----

// A TCP socket listens in the LISTEN state; UDP has no states at all (psutil reports "NONE"), so a
// UDP socket bound to the port without a remote peer is the one that serves it.
bool serves(nb::handle conn) {
    nb::object status = getattr(conn, n_status);
    if (equals(status, nb::str("LISTEN"))) return true;
    return equals(status, nb::str("NONE")) && !truthy(getattr(conn, n_raddr));
}

nb::object find_process_by_port(Call& c) {
    nb::handle port = c[0];
    nb::object psutil = import_now(c, "psutil");
    nb::object conns = call_method(psutil, n_net_connections, {});
    for (nb::handle conn : conns) {
        if (!equals(getattr(getattr(conn, n_laddr), n_port), port)) continue;
        if (!serves(conn)) continue;
        try {
            return getattr(conn, n_pid);
        } catch (nb::python_error& e) {
            if (!e.matches(getattr(psutil, n_NoSuchProcess))) throw;
        }
    }
    return nb::none();
}

nb::object kill(Call& c) {
    nb::object pid = nb::borrow(c[0]);
    nb::handle port = c[1];
    if (truthy(port)) {
        pid = c.global(n_find_process_by_port)(port);
        if (!truthy(pid)) {
            print(c, {nb::str("No process found on port {}").format(port)});
            return nb::none();
        }
        print(c, {nb::str("Killing process {} on port {}").format(pid, port)});
    }
    nb::object psutil = import_now(c, "psutil");
    nb::object proc;
    try {
        proc = call_method(psutil, n_Process, {pid});
        call_method(proc, n_terminate, {});
        call_method(proc, n_wait, {}, {Kw{n_timeout, nb::int_(3)}});
        print(c, {nb::str("Process {} terminated successfully").format(pid)});
    } catch (nb::python_error& e) {
        Except handler(e);
        if (handler.matches(getattr(psutil, n_TimeoutExpired))) {
            if (!proc.is_valid()) throw;
            call_method(proc, n_kill, {});
            print(c, {nb::str("Process {} forcefully killed after timeout: {}")
                          .format(pid, handler.value())});
        } else if (handler.matches(getattr(psutil, n_NoSuchProcess))) {
            print(c, {nb::str("Process {} does not exist: {}").format(pid, handler.value())});
        } else {
            throw;
        }
    }
    return nb::none();
}

// ---- terminal launcher ----

nb::object which(const Call& c, const char* program) {
    return call_method(c.global(n_shutil), n_which, {nb::str(program)});
}

// subprocess.Popen(argv, NAME=value, ...)
void popen(const Call& c, nb::handle argv, std::initializer_list<Kw> kwargs = {}) {
    call_method(c.global(n_subprocess), n_Popen, {argv}, kwargs);
}

// subprocess.Popen(argv, [cwd=cwd,] creationflags=subprocess.CREATE_NEW_CONSOLE), with Popen
// looked up before the flag, as the expression evaluates.
void popen_new_console(const Call& c, nb::handle argv, nb::handle cwd = nb::handle()) {
    nb::object popen = getattr(c.global(n_subprocess), n_Popen);
    nb::object flags = getattr(c.global(n_subprocess), n_CREATE_NEW_CONSOLE);
    if (cwd.is_valid())
        call(popen, {argv}, {Kw{n_cwd, cwd}, Kw{n_creationflags, flags}});
    else
        call(popen, {argv}, {Kw{n_creationflags, flags}});
}

nb::list words(std::initializer_list<const char*> items) {
    nb::list out;
    for (const char* item : items) out.append(item);
    return out;
}

bool inside_vscode(const Call& c) {
    nb::object environ = getattr(c.global(n_os), n_environ);
    if (contains(environ, nb::str("VSCODE_GIT_IPC_HANDLE"))) return true;
    nb::object program = call_method(environ, n_get, {nb::str("TERM_PROGRAM"), nb::str("")});
    return contains(call_method(program, n_lower, {}), nb::str("vscode"));
}

nb::object terminal_windows(const Call& c, nb::handle command, nb::handle cwd) {
    const bool is_vscode = inside_vscode(c);
    nb::object wt_path = which(c, "wt");
    if (truthy(wt_path)) {
        nb::list cmd;
        cmd.append(wt_path);
        if (truthy(cwd)) {
            cmd.append("-d");
            cmd.append(cwd);
        }
        if (truthy(command)) {
            cmd.extend(words({"powershell", "-NoExit", "-Command"}));
            cmd.append(command);
        }
        popen_new_console(c, cmd);
        return nb::none();
    }
    nb::object code_path = which(c, "code");
    if (is_vscode && truthy(code_path)) {
        print(c, {make_str("\xE2\x9A\x99\xEF\xB8\x8F Currently running inside VSCode; using "
                           "VSCode terminal is recommended.")});
        popen(c, words({"code", "-r", "."}));
        return nb::none();
    }
    nb::object shell = which(c, "powershell.exe");
    if (!truthy(shell)) shell = which(c, "cmd.exe");
    if (!truthy(shell)) raise(PyExc_RuntimeError, "Neither PowerShell nor CMD found on system.");
    nb::list args;
    args.append(shell);
    if (contains(shell, nb::str("powershell"))) {
        args.append("-NoExit");
        if (truthy(command)) {
            args.append("-Command");
            args.append(command);
        }
    } else {
        args.append("/k");
        args.append(truthy(command) ? nb::borrow(command) : nb::str(""));
    }
    popen_new_console(c, args, cwd);
    return nb::none();
}

// shlex.quote: a word of safe characters stays as it is, anything else is single-quoted.
nb::object shell_quote(nb::handle word) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(word.ptr());
    bool safe = n > 0;
    for (Py_ssize_t i = 0; safe && i < n; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(word.ptr(), i);
        safe = ch < 128 && (std::isalnum(static_cast<int>(ch)) ||
                            std::string_view("_@%+=:,./-").find(static_cast<char>(ch)) !=
                                std::string_view::npos);
    }
    if (safe) return nb::borrow(word);
    return nb::str("'") + call_method(word, n_replace, {nb::str("'"), nb::str("'\"'\"'")}) +
           nb::str("'");
}

// The text between the double quotes of an AppleScript string literal.
nb::object applescript_literal(nb::handle text) {
    nb::object escaped = call_method(text, n_replace, {nb::str("\\"), nb::str("\\\\")});
    return call_method(escaped, n_replace, {nb::str("\""), nb::str("\\\"")});
}

nb::object terminal_macos(const Call& c, nb::handle command, nb::handle cwd) {
    if (!truthy(command)) {
        popen(c, words({"open", "-a", "Terminal"}));
        return nb::none();
    }
    nb::object script = nb::borrow(command);
    if (truthy(cwd)) script = nb::str("cd ") + shell_quote(cwd) + nb::str(";") + script;
    nb::object applescript = nb::str("tell application \"Terminal\" to do script \"") +
                             applescript_literal(script) + nb::str("\"");
    nb::list argv = words({"osascript", "-e"});
    argv.append(applescript);
    popen(c, argv);
    return nb::none();
}

// Each emulator has its own option for "run this command"; what follows it is the same for all.
struct Emulator {
    const char* name;
    const char* run_option;
};
constexpr Emulator emulators[] = {
    {"gnome-terminal", "--"}, {"konsole", "-e"}, {"xfce4-terminal", "-x"}, {"xterm", "-e"}};

nb::object terminal_linux(const Call& c, nb::handle command, nb::handle cwd) {
    const Emulator* term = nullptr;
    for (const Emulator& e : emulators) {
        if (truthy(which(c, e.name))) {
            term = &e;
            break;
        }
    }
    if (!term) raise(PyExc_RuntimeError, "Linux: no supported terminal emulator found");
    nb::list argv = words({term->name});
    if (truthy(command)) {
        argv.extend(words({term->run_option, "bash", "-c"}));
        argv.append(nb::borrow(command) + nb::str("; exec bash"));
    }
    popen(c, argv, {Kw{n_cwd, cwd}});
    return nb::none();
}

nb::object terminal(Call& c) {
    nb::handle command = c[0], cwd = c[1];
    nb::object system = call_method(c.global(n_platform), n_system, {});
    if (equals(system, nb::str("Windows"))) return terminal_windows(c, command, cwd);
    if (equals(system, nb::str("Darwin"))) return terminal_macos(c, command, cwd);
    if (equals(system, nb::str("Linux"))) return terminal_linux(c, command, cwd);
    nb::object msg = nb::str("Unsupported platform: {}").format(system);
    PyErr_SetObject(PyExc_RuntimeError, msg.ptr());
    raise_current();
}

const FunctionSpec terminal_spec{.name = "terminal",
                                 .body = terminal,
                                 .params = {{"command", "str | None", Check::StrOrNone},
                                            {"cwd", "str | None", Check::StrOrNone}},
                                 .doc = docstring(R"(
Open a new terminal window

    Args:
        command (str | None, optional): Optional shell command to run inside the terminal. Defaults to None.
        cwd (str | None, optional): Optional working directory to start the terminal in. Defaults to None.

    Supports:
        - Windows Terminal
        - VSCode integrated environment
        - PowerShell / CMD fallback
        - macOS Terminal
        - Linux terminals (GNOME, Konsole, XFCE, Xterm)

    Raises:
        RuntimeError: Neither PowerShell nor CMD found on system
        RuntimeError: Linux: no supported terminal emulator found
        RuntimeError: Unsupported platform
    )")};
const FunctionSpec find_process_by_port_spec{
    .name = "find_process_by_port",
    .body = find_process_by_port,
    .params = {{"port", "int", Check::Int}},
    .doc =
        "Return the first process that occupies the specified port, or None if no such process "
        "exists."};
const FunctionSpec kill_spec{.name = "kill",
                             .body = kill,
                             .params = {{"pid", "int", Check::Int}, {"port", "int", Check::Int}},
                             .doc = "Kill a process by ID or port"};

void build_module(nb::module_ m) {
    Module mod(m);
    mod.import("os");
    mod.import("platform");
    mod.import("shutil");
    mod.import("subprocess");
    nb::object none = nb::none();
    mod.def(terminal_spec, {none, none});
    mod.def(find_process_by_port_spec);
    nb::object zero = nb::int_(0);
    mod.def(kill_spec, {zero, zero});
}

}  // namespace
}  // namespace pelorix::shell

PELORIX_MODULE(shell, m) {
    pelorix::shell::build_module(m);
}
