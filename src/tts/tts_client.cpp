#include "tts/tts_client.hpp"

#include "config/service_settings.hpp"
#include "host/dict.hpp"
#include "host/open_file.hpp"
#include "host/static_text.hpp"
#include "host/text.hpp"

namespace vantor::tts {

using host::Handle;
using host::Ref;

namespace {

constexpr long request_timeout_seconds = 60;
// A data-URL prefix ("data:audio/mpeg;base64,") in front of the base64 text.
constexpr char data_url_prefix[] = "^data:audio/.+;base64,";

constexpr auto origin = host::join("https://", settings::tts_host);
constexpr auto referer = host::join("https://", settings::tts_host, "/text-to-speech/");
constexpr auto endpoint = host::join("https://", settings::tts_host, "/api/generate-audio-frontend");

Ref request_headers() {
    return host::dict({
        {"accept", host::text("*/*")},
        {"content-type", host::text("application/json")},
        {"origin", host::text(origin.c_str())},
        {"referer", host::text(referer.c_str())},
        {"user-agent", host::text("Mozilla/5.0")},
    });
}

}  // namespace

void generate_tts(const host::Namespace& ns, Handle text, Handle output_file, Handle voice) {
    Ref url = host::text(endpoint.c_str());
    Ref payload = host::dict({{"text", text}, {"voice", voice}});
    Ref headers = request_headers();

    Ref timeout = Ref::steal(PyLong_FromLong(request_timeout_seconds));
    Ref response = ns.http_post(url, payload, headers, timeout);

    Ref status = response.attr("status_code");
    Ref ok = Ref::steal(PyLong_FromLong(200));
    if (host::check(PyObject_RichCompareBool(status.get(), ok.get(), Py_NE)) == 1) {
        host::raise_exception(host::format("TTS failed for voice %U: HTTP %S", voice, status));
    }

    Ref data = response.attr("json")();
    Ref audio_data = data["audio_data"];
    Ref pattern = host::text(data_url_prefix);
    Ref nothing = host::text("");
    Ref audio_base64 = ns.regex_sub(pattern, nothing, audio_data);

    // Opened before decoding: a text that does not decode leaves the file empty.
    host::OpenFile file(ns, output_file, "wb");
    file.write(ns.b64decode(audio_base64));
    file.close();
}

}  // namespace vantor::tts
