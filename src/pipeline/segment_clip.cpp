#include "pipeline/segment_clip.hpp"

#include "host/dict.hpp"
#include "host/text.hpp"
#include "media/ffmpeg_path.hpp"
#include "media/mp4_check.hpp"
#include "media/argv.hpp"
#include "pipeline/working_files.hpp"

#include <string>

namespace vantor::pipeline {

using host::Handle;
using host::Ref;

namespace {

Ref numbered_path(Handle output_dir, const char* prefix, Py_ssize_t index, const char* suffix) {
    std::string name = prefix + std::to_string(index) + suffix;
    return host::join_path(output_dir, name.c_str());
}

// The range options stand before -i so both refer to the source timeline;
// the video is copied, the source's own sound dropped.
media::Argv cut_command(Handle start, Handle end, Handle video_file, Handle clip_file) {
    media::Argv argv = media::Argv::ffmpeg();
    argv.add("-ss").add(start).add("-to").add(end);
    argv.add("-i").add(media::ffmpeg_path(video_file)).add("-c").add("copy").add("-an");
    argv.add(media::ffmpeg_path(clip_file));
    return argv;
}

// Video copied from the clip, narration encoded to AAC, ending with the shorter.
media::Argv merge_command(Handle clip_file, Handle voice_file, Handle merged_file) {
    media::Argv argv = media::Argv::ffmpeg();
    argv.add("-i").add(media::ffmpeg_path(clip_file)).add("-i").add(media::ffmpeg_path(voice_file));
    argv.add("-map").add("0:v").add("-map").add("1:a");
    argv.add("-c:v").add("copy").add("-c:a").add("aac").add("-shortest");
    argv.add(media::ffmpeg_path(merged_file));
    return argv;
}

}  // namespace

void produce_segment_clip(const host::Namespace& ns, const SegmentJob& job) {
    Ref index = Ref::steal(PyLong_FromSsize_t(job.index));
    Ref count = Ref::steal(PyLong_FromSsize_t(job.count));
    {
        Ref start = job.segment["start"];
        Ref end = job.segment["end"];
        ns.event("segment", host::format("  Segment %zd/%zd: %S %s %S", job.index + 1, job.count, start, "\u2192", end),
                 {{"index", index}, {"count", count}, {"start", start}, {"end", end}});
    }

    Ref clip_file = numbered_path(job.output_dir, "clip_", job.index, ".mp4");
    Ref voice_file = numbered_path(job.output_dir, "voice_", job.index, ".mp3");
    Ref merged_file = numbered_path(job.output_dir, "merged_", job.index, ".mp4");

    Ref voiceover = job.segment["voiceover"];
    if (Ref step_host = ns.step_host()) {
        ns.step(step_host, "narration", host::dict({{"index", index}, {"text", voiceover}, {"voice", job.tts_voice},
                                                     {"target", voice_file}}));
    } else {
        ns.generate_tts(voiceover, voice_file, job.tts_voice);
    }

    Ref pause = Ref::steal(PyFloat_FromDouble(0.5));
    ns.pause(pause, "narration");

    {
        Ref start = job.segment["start"];
        Ref end = job.segment["end"];
        ns.command("cut", cut_command(start, end, job.video_file, clip_file).list(),
                   {{"index", index}, {"source", job.video_file}, {"target", clip_file}, {"start", start},
                    {"end", end}},
                   true);
    }
    const std::string segment = "segment " + std::to_string(job.index + 1);
    media::require_complete_mp4(clip_file, "cutting " + segment);
    ns.command("merge", merge_command(clip_file, voice_file, merged_file).list(),
               {{"index", index}, {"clip", clip_file}, {"narration", voice_file}, {"target", merged_file}}, true);
    media::require_complete_mp4(merged_file, "merging " + segment);

    host::check(PyList_Append(job.final_files.get(), merged_file.get()));

    ns.clean_up({clip_file, voice_file});
}

}  // namespace vantor::pipeline
