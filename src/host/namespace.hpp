// The module namespace, as the operations reach everything they use.
//
// The rule: every facility (json, subprocess, requests, base64, re, time, os,
// quote, the builtins open and print) and every operation is looked up by
// name in the module namespace at the moment of each use, never kept. So a
// host that rebinds a name, e.g. `vantor.vantor._generate_tts = stand_in`,
// is honoured by the very next use. Each method below names what it does and
// looks its names up when it runs.
//
// A name resolves in this order, at every use:
//   1. the per-run bindings: the mapping held by the context variable
//      `run_bindings()` in the calling context (None, the default: none);
//   2. the module namespace;
//   3. builtins.
// So a host that rebinds a name on the module keeps that binding for every
// call made outside a per-run binding, and two runs in two contexts (threads,
// tasks) each see their own bindings without touching the module.
//
// One per-run name is different: `host`, looked up in the per-run bindings
// alone. When a run binds it, the steps go to it with their data (see
// step_host() and the step helpers below) instead of the generic names, so a
// product can shape a step (run an extended command) without decoding the
// engine's commands or its printed lines. Unbound, nothing changes.
#pragma once

#include "host/dict.hpp"
#include "host/py_error.hpp"
#include "host/ref.hpp"

#include <initializer_list>

namespace vantor::host {

// The context variable of the per-run bindings, made once at module
// initialisation and held for the life of the process (as the module is).
// Borrowed; null before the module is initialised.
PyObject* run_bindings() noexcept;
// Creates it (once); `name` is the variable's name as Python shows it.
void create_run_bindings(const char* name);

class Namespace {
public:
    // `globals` is the module's dict, kept alive by the caller for the call.
    explicit Namespace(Handle globals) noexcept : globals_(globals) {}

    // os.path.exists(path)
    bool path_exists(Handle path) const;
    // os.remove(path)
    void remove(Handle path) const;
    // os.path.abspath(path)
    Ref absolute_path(Handle path) const;
    // open(path, mode[, encoding=encoding])
    Ref open(Handle path, const char* mode, const char* encoding = nullptr) const;
    // json.load(file)
    Ref json_load(Handle file) const;

    // subprocess.run(argv, check=True): the tool shares the host's streams
    // and a non-zero exit status raises CalledProcessError.
    void run_checked(Handle argv) const;
    // subprocess.run(argv, capture_output=True).returncode: output collected
    // and dropped. A tool that cannot start still raises.
    Ref run_captured(Handle argv) const;

    // requests.get(url, headers=headers, timeout=timeout)
    Ref http_get(Handle url, Handle headers, Handle timeout) const;
    // requests.post(url, json=payload, headers=headers, timeout=timeout)
    Ref http_post(Handle url, Handle payload, Handle headers, Handle timeout) const;
    // quote(text, safe=""): every reserved character percent-encoded.
    Ref quote_all(Handle text) const;
    // re.sub(pattern, replacement, text)
    Ref regex_sub(Handle pattern, Handle replacement, Handle text) const;
    // base64.b64decode(text)
    Ref b64decode(Handle text) const;
    // time.sleep(seconds)
    void sleep(Handle seconds) const;

    // print(text), so a redirected sys.stdout receives the line.
    void print_line(Handle text) const;
    // print(text, end="", flush=True): progress text that overwrites itself.
    void print_progress(Handle text) const;

    // The run's step host: the name `host` in the per-run bindings only (never
    // the module's names nor builtins, so a host calling the module directly
    // sees no change); null when none is bound. With one bound, each named
    // step below goes to `host.step(kind, fields)` instead of the generic names.
    Ref step_host() const;
    // host.step(kind, fields): one step with its data; the host's answer.
    Ref step(Handle host, const char* kind, Handle fields) const;
    // Something to show: with a host, the "event" step with {kind, text,
    // values...}; without, print(text), or print(text, end="", flush=True)
    // when it `overwrites` the line.
    void event(const char* kind, Handle text, std::initializer_list<Item> values = {}, bool overwrites = false) const;
    // A pause: with a host, the "pause" step {seconds, why}; else time.sleep.
    void pause(Handle seconds, const char* why) const;
    // A command: with a host, the `kind` step {argv, fields...}, answered with
    // the exit status; without, subprocess.run as run_checked (checked) or
    // run_captured. Checked, a status but 0 from the host raises
    // subprocess.CalledProcessError(status, argv) as check=True would.
    Ref command(const char* kind, Handle argv, std::initializer_list<Item> fields, bool checked) const;
    // The files a step has done with: with a host, the "cleanup" step
    // {paths}; without, each removed when it exists.
    void clean_up(std::initializer_list<Handle> paths) const;
    void clean_up(Handle path_list) const;

    // The operations, as bound now: _download_video(url, output_file),
    // _generate_tts(text, output_file, voice), _build_atempo_chain(speed).
    void download_video(Handle url, Handle output_file) const;
    void generate_tts(Handle text, Handle output_file, Handle voice) const;
    Ref build_atempo_chain(Handle speed) const;

private:
    // A name in the lookup order above; NameError when none has it.
    Ref global(const char* name) const;
    // `global(name).attr`
    Ref member(const char* name, const char* attr) const;

    Handle globals_;
};

}  // namespace vantor::host
