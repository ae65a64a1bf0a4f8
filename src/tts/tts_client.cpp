#include "tts/tts_client.hpp"

#include "config/service_settings.hpp"
#include "host/json_member.hpp"
#include "host/open_file.hpp"
#include "host/text.hpp"

namespace vantor::tts {

using host::Ref;

namespace {

constexpr long request_timeout_seconds = 60;
// A data-URL prefix ("data:audio/mpeg;base64,") in front of the base64 text.
constexpr char data_url_prefix[] = "^data:audio/.+;base64,";

void set_item(const Ref& dict, const char* key, PyObject* value) {
    host::check(PyDict_SetItemString(dict.get(), key, value));
}

Ref request_headers() {
    Ref headers = Ref::steal(PyDict_New());
    Ref origin = host::format("https://%s", settings::tts_host);
    Ref referer = host::format("https://%s/text-to-speech/", settings::tts_host);
    set_item(headers, "accept", host::text("*/*").get());
    set_item(headers, "content-type", host::text("application/json").get());
    set_item(headers, "origin", origin.get());
    set_item(headers, "referer", referer.get());
    set_item(headers, "user-agent", host::text("Mozilla/5.0").get());
    return headers;
}

}  // namespace

void generate_tts(const host::Scope& scope, const Ref& text, const Ref& output_file, const Ref& voice) {
    Ref url = host::format("https://%s/api/generate-audio-frontend", settings::tts_host);
    Ref payload = Ref::steal(PyDict_New());
    set_item(payload, "text", text.get());
    set_item(payload, "voice", voice.get());
    Ref headers = request_headers();

    Ref timeout = Ref::steal(PyLong_FromLong(request_timeout_seconds));
    Ref response = host::call(scope.member("requests", "post"), {url.get()},
                              {{"json", payload.get()}, {"headers", headers.get()}, {"timeout", timeout.get()}});

    Ref status = host::attr(response, "status_code");
    Ref ok = Ref::steal(PyLong_FromLong(200));
    if (host::check(PyObject_RichCompareBool(status.get(), ok.get(), Py_NE)) == 1) {
        Ref message = host::format("TTS failed for voice %U: HTTP %S", voice.get(), status.get());
        PyErr_SetObject(PyExc_Exception, message.get());
        throw host::PyError{};
    }

    Ref data = host::call(host::attr(response, "json"), {});
    Ref audio_data = host::json_member(data, "audio_data");
    Ref pattern = host::text(data_url_prefix);
    Ref nothing = host::text("");
    Ref audio_base64 = host::call(scope.member("re", "sub"), {pattern.get(), nothing.get(), audio_data.get()});

    // Opened before decoding: a text that does not decode leaves the file empty.
    host::OpenFile file(scope, output_file, "wb");
    file.write(host::call(scope.member("base64", "b64decode"), {audio_base64.get()}));
    file.close();
}

}  // namespace vantor::tts
