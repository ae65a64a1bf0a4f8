#include "pipeline/final_assembly.hpp"

#include "host/dict.hpp"
#include "host/open_file.hpp"
#include "host/text.hpp"
#include "media/ffmpeg_path.hpp"
#include "media/mp4_check.hpp"
#include "media/argv.hpp"

#include <string>

namespace vantor::pipeline {

using host::Handle;
using host::Ref;

namespace {

void write_concat_list(const host::Namespace& ns, Handle filelist, Handle final_files) {
    host::OpenFile file(ns, filelist, "w");
    Py_ssize_t count = PyList_GET_SIZE(final_files.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref clip = Ref::steal(PyList_GetItemRef(final_files.get(), i));
        file.write(concat_list_line(ns, clip));
    }
    file.close();
}

media::Argv concat_command(const RunPaths& paths) {
    media::Argv argv = media::Argv::ffmpeg();
    argv.add("-f").add("concat").add("-safe").add("0").add("-i").add(media::ffmpeg_path(paths.filelist));
    argv.add("-c").add("copy").add(media::ffmpeg_path(paths.temp_output));
    return argv;
}

std::string video_filter(double speed_factor) {
    return "setpts=" + host::fixed_decimal(1.0 / speed_factor, 6) +
           "*PTS,scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920";
}

media::Argv conversion_command(const RunPaths& paths, Handle vf_filter, Handle af_filter,
                               const char* encoder, const char* preset, const char* quality_option) {
    media::Argv argv = media::Argv::ffmpeg();
    argv.add("-i").add(media::ffmpeg_path(paths.temp_output)).add("-vf").add(vf_filter).add("-af").add(af_filter);
    argv.add("-c:a").add("aac");
    argv.add("-c:v").add(encoder).add("-preset").add(preset).add(quality_option).add("23");
    argv.add(media::ffmpeg_path(paths.final_output));
    return argv;
}

// temp_output to final_output at speed_factor: the hardware encoder first,
// the software encoder when that exits with any status but 0.
void convert_to_vertical(const host::Namespace& ns, const RunPaths& paths, double speed_factor) {
    std::string speed_text = host::short_decimal(speed_factor);
    Ref speed = Ref::steal(PyFloat_FromDouble(speed_factor));
    ns.event("converting", host::format("%s%s%s", "\U0001F4D0 Converting to 9:16 vertical at ", speed_text.c_str(),
                                        "x speed..."), {{"speed", speed}});

    Ref vf_filter = host::text(video_filter(speed_factor).c_str());
    Ref af_filter = ns.build_atempo_chain(speed);
    media::Argv gpu_cmd = conversion_command(paths, vf_filter, af_filter, "h264_nvenc", "p1", "-cq");
    media::Argv cpu_cmd = conversion_command(paths, vf_filter, af_filter, "libx264", "ultrafast", "-crf");

    Ref returncode = ns.command("conversion", gpu_cmd.list(),
                                {{"source", paths.temp_output}, {"target", paths.final_output}, {"speed", speed},
                                 {"encoder", host::text("h264_nvenc")}, {"checked", Py_False}}, false);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (host::check(PyObject_RichCompareBool(returncode.get(), zero.get(), Py_NE)) == 1) {
        ns.event("fallback", host::text("  (GPU unavailable, using CPU encoder...)"));
        ns.command("conversion", cpu_cmd.list(),
                   {{"source", paths.temp_output}, {"target", paths.final_output}, {"speed", speed},
                    {"encoder", host::text("libx264")}, {"checked", Py_True}}, true);
        media::require_complete_mp4(paths.final_output, "converting to vertical on the software encoder");
    } else {
        media::require_complete_mp4(paths.final_output, "converting to vertical on the hardware encoder");
    }
}

}  // namespace

Ref concat_list_line(const host::Namespace& ns, Handle clip_path) {
    Ref absolute = ns.absolute_path(clip_path);
    Ref apostrophe = host::text("'");
    Ref escaped_apostrophe = host::text("'\\''");
    Ref quoted = Ref::steal(PyUnicode_Replace(absolute.get(), apostrophe.get(), escaped_apostrophe.get(), -1));
    Ref head = host::text("file '");
    Ref tail = host::text("'\n");
    return host::concat({head, quoted, tail});
}

Ref assemble_final(const host::Namespace& ns, Handle final_files, const RunPaths& paths, double speed_factor) {
    ns.event("concatenating", host::text("\U0001F517 Concatenating segments..."));
    write_concat_list(ns, paths.filelist, final_files);
    Ref clips = Ref::steal(PyList_GetSlice(final_files.get(), 0, PY_SSIZE_T_MAX));
    ns.command("concat", concat_command(paths).list(),
               {{"list_file", paths.filelist}, {"clips", clips}, {"target", paths.temp_output}}, true);
    media::require_complete_mp4(paths.temp_output, "concatenating the segments");

    convert_to_vertical(ns, paths, speed_factor);

    ns.event("cleaning", host::text("\U0001F9F9 Cleaning up..."));
    Ref removed = Ref::steal(PyList_GetSlice(final_files.get(), 0, PY_SSIZE_T_MAX));
    host::check(PyList_Append(removed.get(), paths.filelist.get()));
    host::check(PyList_Append(removed.get(), paths.video_file.get()));
    ns.clean_up(removed);

    ns.event("horizontal", host::format("%s%U", "\u2705 Done! Horizontal Output: ", paths.temp_output),
             {{"path", paths.temp_output}});
    ns.event("vertical", host::format("%s%U", "\u2705 Done! Vertical Output: ", paths.final_output),
             {{"path", paths.final_output}});
    return paths.final_output.new_ref();
}

}  // namespace vantor::pipeline
