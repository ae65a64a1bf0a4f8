// The four exported operations: one table each, beside the function that
// does the work.
#include "operation.hpp"

#include "config/service_settings.hpp"
#include "download/download_client.hpp"
#include "host/static_text.hpp"
#include "host/text.hpp"
#include "media/atempo_chain.hpp"
#include "pipeline/run_driver.hpp"
#include "tts/tts_client.hpp"

namespace vantor {

namespace {

host::Ref build_atempo_chain(const host::Namespace&, double speed) {
    return host::text(media::build_atempo_chain(speed).c_str());
}

constexpr auto download_video_doc = host::join("Download YouTube video via ", settings::download_api_host, " API.");

constexpr auto generate_tts_doc = host::join("Generate TTS audio using ", settings::tts_host, " API.");

constexpr char build_atempo_chain_doc[] =
    "\n"
    "    Build ffmpeg atempo filter chain.\n"
    "    atempo is limited to 0.5-2.0 range per filter, so we chain for higher speeds.\n"
    "    ";

constexpr char run_recap_doc[] =
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

constexpr Operation download_video_op = operation<download::download_video>(
    "_download_video", {"url", "output_file"}, "None", download_video_doc.c_str());

constexpr Operation generate_tts_op = operation<tts::generate_tts>(
    "_generate_tts", {"text", "output_file", "voice"}, "None", generate_tts_doc.c_str());

constexpr Operation build_atempo_chain_op = operation<build_atempo_chain>(
    "_build_atempo_chain", {"speed"}, "str", build_atempo_chain_doc);

constexpr Operation run_recap_op = operation<pipeline::run_recap>(
    "run_recap", {"youtube_url", "segments_file", "speed_factor", "tts_voice", {"output_dir", "."}}, "str",
    run_recap_doc);

constexpr const Operation* all_operations[] = {&download_video_op, &generate_tts_op, &build_atempo_chain_op,
                                                  &run_recap_op};

}  // namespace

std::span<const Operation* const> operations() { return all_operations; }

}  // namespace vantor
