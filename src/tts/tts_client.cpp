#include "tts/tts_client.hpp"

#include "config/service_settings.hpp"
#include "host/open_file.hpp"
#include "host/text.hpp"

namespace vantor::tts {

using host::Handle;
using host::Ref;

namespace {

constexpr long request_timeout_seconds = 60;
// A data-URL prefix ("data:audio/mpeg;base64,") in front of the base64 text.
constexpr char data_url_prefix[] = "^data:audio/.+;base64,";

void set_item(Handle dict, const char* key, Handle value) {
    host::check(PyDict_SetItemString(dict.get(), key, value.get()));
}

Ref request_headers() {
    Ref headers = Ref::steal(PyDict_New());
    Ref origin = host::format("https://%s", settings::tts_host);
    Ref referer = host::format("https://%s/text-to-speech/", settings::tts_host);
    set_item(headers, "accept", host::text("*/*"));
    set_item(headers, "content-type", host::text("application/json"));
    set_item(headers, "origin", origin);
    set_item(headers, "referer", referer);
    set_item(headers, "user-agent", host::text("Mozilla/5.0"));
    return headers;
}

}  // namespace

void generate_tts(const host::Namespace& ns, Handle text, Handle output_file, Handle voice) {
    Ref url = host::format("https://%s/api/generate-audio-frontend", settings::tts_host);
    Ref payload = Ref::steal(PyDict_New());
    set_item(payload, "text", text);
    set_item(payload, "voice", voice);
    Ref headers = request_headers();

    Ref timeout = Ref::steal(PyLong_FromLong(request_timeout_seconds));
    Ref response = ns.http_post(url, payload, headers, timeout);

    Ref status = response.attr("status_code");
    Ref ok = Ref::steal(PyLong_FromLong(200));
    if (host::check(PyObject_RichCompareBool(status.get(), ok.get(), Py_NE)) == 1) {
        Ref message = host::format("TTS failed for voice %U: HTTP %S", voice.get(), status.get());
        PyErr_SetObject(PyExc_Exception, message.get());
        throw host::PyError{};
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
