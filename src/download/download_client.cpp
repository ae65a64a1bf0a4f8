#include "download/download_client.hpp"

#include "config/service_settings.hpp"
#include "host/dict.hpp"
#include "host/json_member.hpp"
#include "host/static_text.hpp"
#include "host/text.hpp"
#include "media/argv.hpp"

namespace vantor::download {

using host::Handle;
using host::Ref;

namespace {

constexpr char browser_agent[] =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/144.0.0.0 Safari/537.36";
constexpr char service_name[] = "the download service";
constexpr int max_polls = 60;
constexpr long poll_pause_seconds = 3;
constexpr long job_timeout_seconds = 30;
constexpr long poll_timeout_seconds = 15;

constexpr auto referer = host::join(settings::download_origin, "/");
constexpr auto job_endpoint = host::join(settings::download_api_base, "/ajax/download.php?format=1080&url=");

// Built afresh for every call; sent with the job request and every poll.
Ref request_headers() {
    return host::dict({
        {"accept", host::text("*/*")},
        {"accept-language", host::text("en-US,en;q=0.6")},
        {"cache-control", host::text("no-cache")},
        {"origin", host::text(settings::download_origin)},
        {"referer", host::text(referer.c_str())},
        {"user-agent", host::text(browser_agent)},
    });
}

// The job request ("job") or one poll ("poll", its `attempt` counted from
// 0): requests.get, or with a step host that step, answered with a response.
Ref get_json(const host::Namespace& ns, const char* step, Handle url, Handle headers, long timeout,
             bool raise_for_status, int attempt = 0) {
    Ref seconds = Ref::steal(PyLong_FromLong(timeout));
    Ref response;
    if (Ref step_host = ns.step_host()) {
        Ref number = Ref::steal(PyLong_FromLong(attempt));
        response = ns.step(step_host, step, host::dict({{"url", url}, {"headers", headers}, {"timeout", seconds},
                                                        {"attempt", number}}));
    } else {
        response = ns.http_get(url, headers, seconds);
    }
    if (raise_for_status) response.attr("raise_for_status")();
    return response.attr("json")();
}

// The address comes from the outside service and becomes a wget argument:
// anything but an http(s) URL (e.g. "-e ...") would be read as an option.
void refuse_unsafe_address(Handle download_url) {
    if (!PyUnicode_Check(download_url.get())) return;  // the process layer refuses it
    Ref lowered = download_url.attr("lower")();
    for (const char* scheme : {"http://", "https://"}) {
        Ref prefix = host::text(scheme);
        Py_ssize_t match = PyUnicode_Tailmatch(lowered.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
        if (match < 0) throw host::PyError{};
        if (match == 1 && PyUnicode_GetLength(download_url.get()) > PyUnicode_GetLength(prefix.get())) return;
    }
    host::raise_exception(
        host::format("Download API error: download_url %R is not an http or https address", download_url));
}

media::Argv wget_command(Handle output_file, Handle download_url) {
    media::Argv argv;
    argv.add("wget").add("-q").add("-O").add(output_file).add("--user-agent").add(browser_agent).add(download_url);
    return argv;
}

// Polls the job until it reports a finished file; returns its address.
Ref wait_for_file(const host::Namespace& ns, Handle progress_url, Handle headers) {
    Ref pause = Ref::steal(PyLong_FromLong(poll_pause_seconds));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref ten = Ref::steal(PyLong_FromLong(10));
    Ref complete_at = Ref::steal(PyLong_FromLong(1000));
    Ref percent_format = host::text(".0f");
    for (int attempt = 0; attempt < max_polls; ++attempt) {
        ns.pause(pause, "poll");
        Ref prog = get_json(ns, "poll", progress_url, headers, poll_timeout_seconds, false, attempt);
        Ref progress = host::json_member_or(prog, "progress", zero, service_name);
        Ref pct = Ref::steal(PyNumber_TrueDivide(progress.get(), ten.get()));
        Ref shown = Ref::steal(PyObject_Format(pct.get(), percent_format.get()));
        ns.event("job-progress", host::format("\r  %U%%", shown), {{"percent", pct}}, true);

        Ref success = host::json_member_or(prog, "success", Py_None, service_name);
        if (success.truthy() &&
            host::check(PyObject_RichCompareBool(progress.get(), complete_at.get(), Py_GE)) == 1) {
            return prog["download_url"];
        }
    }
    host::raise_exception(host::text("Download timed out after 3 minutes"));
}

}  // namespace

void download_video(const host::Namespace& ns, Handle url, Handle output_file) {
    ns.event("requesting", host::text("\U0001F4E5 Requesting download from server..."));
    Ref headers = request_headers();

    Ref encoded_url = ns.quote_all(url);
    Ref api_url = host::concat({host::text(job_endpoint.c_str()), encoded_url});

    Ref data = get_json(ns, "job", api_url, headers, job_timeout_seconds, true);
    if (!host::json_member_or(data, "success", Py_None, service_name).truthy()) {
        host::raise_exception(host::format("Download API error: %S", data));
    }
    Ref job_id = data["id"];
    Ref progress_url = data["progress_url"];
    ns.event("job", host::format("%s%S...", "\u23F3 Processing job ", job_id), {{"job", job_id}});

    Ref download_url = wait_for_file(ns, progress_url, headers);
    refuse_unsafe_address(download_url);

    ns.event("fetching", host::text("\n\u2B07\uFE0F  Downloading video..."));
    ns.command("fetch", wget_command(output_file, download_url).list(), {{"url", download_url}, {"target", output_file}},
               true);
    ns.event("downloaded", host::format("%s%U", "\u2705 Download complete: ", output_file), {{"path", output_file}});
}

}  // namespace vantor::download
