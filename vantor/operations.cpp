// The four exported operations: parameter lists, docstrings and the bodies
// that hand bound arguments to the subsystems.
#include "operation.hpp"

#include "config/service_settings.hpp"
#include "download/download_client.hpp"
#include "host/text.hpp"
#include "media/atempo_chain.hpp"
#include "pipeline/run_driver.hpp"
#include "tts/tts_client.hpp"

namespace vantor {

using host::Handle;
using host::Ref;

namespace {

Ref download_video_body(const host::Scope& scope, const BoundArgs& args) {
    download::download_video(scope, args.objects[0], args.objects[1]);
    return Handle(Py_None).new_ref();
}

Ref generate_tts_body(const host::Scope& scope, const BoundArgs& args) {
    tts::generate_tts(scope, args.objects[0], args.objects[1], args.objects[2]);
    return Handle(Py_None).new_ref();
}

Ref build_atempo_chain_body(const host::Scope&, const BoundArgs& args) {
    return host::text(media::build_atempo_chain(args.numbers[0]).c_str());
}

Ref run_recap_body(const host::Scope& scope, const BoundArgs& args) {
    return pipeline::run_recap(
        scope, {args.objects[0], args.objects[1], args.numbers[2], args.objects[3], args.objects[4]});
}

constexpr Param download_video_params[] = {{"url", ParamKind::text}, {"output_file", ParamKind::text}};
constexpr Param generate_tts_params[] = {
    {"text", ParamKind::text}, {"output_file", ParamKind::text}, {"voice", ParamKind::text}};
constexpr Param build_atempo_chain_params[] = {{"speed", ParamKind::number}};
constexpr Param run_recap_params[] = {
    {"youtube_url", ParamKind::text}, {"segments_file", ParamKind::text}, {"speed_factor", ParamKind::number},
    {"tts_voice", ParamKind::text},   {"output_dir", ParamKind::text},
};

constexpr OperationSpec download_video_spec = {
    "_download_video", download_video_params, 2, 2, nullptr, "None", download_video_body};
constexpr OperationSpec generate_tts_spec = {
    "_generate_tts", generate_tts_params, 3, 3, nullptr, "None", generate_tts_body};
constexpr OperationSpec build_atempo_chain_spec = {
    "_build_atempo_chain", build_atempo_chain_params, 1, 1, nullptr, "str", build_atempo_chain_body};
constexpr OperationSpec run_recap_spec = {"run_recap", run_recap_params, 5, 4, ".", "str", run_recap_body};

constexpr const OperationSpec* all_specs[] = {
    &download_video_spec, &generate_tts_spec, &build_atempo_chain_spec, &run_recap_spec};

constexpr const char run_recap_doc[] =
    "\n"
    "    Main recap processing engine.\n"
    "    \n"
    "    1. Download YouTube video\n"
    "    2. Load segments.json\n"
    "    3. Generate TTS for each segment\n"
    "    4. Cut video clips\n"
    "    5. Merge clips with audio\n"
    "    6. Concatenate all clips\n"
    "    7. Convert to 9:16 vertical + apply speed\n"
    "    8. Cleanup temp files\n"
    "    \n"
    "    Returns path to FINAL_RECAP.mp4\n"
    "    ";

constexpr const char build_atempo_chain_doc[] =
    "\n"
    "    Build ffmpeg atempo filter chain.\n"
    "    atempo is limited to 0.5-2.0 range per filter, so we chain for higher speeds.\n"
    "    ";

}  // namespace

const OperationSpec* const* operation_specs(int* count) {
    *count = static_cast<int>(std::size(all_specs));
    return all_specs;
}

Ref operation_doc(const OperationSpec& spec) {
    if (&spec == &run_recap_spec) return host::text(run_recap_doc);
    if (&spec == &build_atempo_chain_spec) return host::text(build_atempo_chain_doc);
    if (&spec == &generate_tts_spec) {
        return host::format("Generate TTS audio using %s API.", settings::tts_host);
    }
    return host::format("Download YouTube video via %s API.", settings::download_api_host);
}

}  // namespace vantor
