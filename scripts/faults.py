"""`make faults`: the fault table, from a fresh run of the tests behind it.

Each row is one class of fault the engine, the local services or the batch
meet on a bad day: which cases are tried, what vantor does about them, and how
the tests that try them came out just now. Prints a Markdown table (the one in docs/security.md,
"Reliability and security") and exits non-zero when any of those
tests fails.

    .venv/bin/python scripts/faults.py [extra pytest arguments]
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass(frozen=True)
class Fault:
    name: str
    cases: str
    outcome: str
    tests: tuple[str, ...]  # pytest node ids or their prefixes


DL, TTS, RUN, OUT = "tests/test_download_client.py::", "tests/test_tts_client.py::", "tests/test_recap_run.py::", \
    "tests/test_output_faults.py::"
BATCH = "tests/test_batch.py::"
HS, SB = "tests/test_hostile_sources.py::", "tests/test_service_bounds.py::"
SP = "tests/test_service_policy.py::"
FAULTS = [
    Fault("service failures",
          "HTTP 4xx/5xx, refused jobs, refused connections, stalls past the time-outs, 60 polls without a file, "
          "a narration failing in segment 3 of 5",
          "the service's error (requests' own, or the fixed Download/TTS message) ends the run; nothing retried, "
          "files so far kept",
          (DL + "test_job_request_failures", DL + "test_sixty_poll_limit", DL + "test_stall_surfaces_http_timeout",
           DL + "test_refused_connection_surfaces_http_error", TTS + "test_status_other_than_200_fails_and_leaves_file",
           TTS + "test_stall_surfaces_http_timeout", TTS + "test_refused_connection_leaves_file_untouched",
           RUN + "test_failure_in_third_of_five_segments")),
    Fault("hostile service answers",
          "non-JSON bodies, arrays where objects belong, missing or mistyped members, odd progress figures, "
          "broken or non-ASCII base64, generated data-URL prefixes",
          "an ordinary exception (JSONDecodeError, TypeError, KeyError, binascii.Error); a narration file is "
          "left as it was or empty",
          (DL + "test_poll_failures", DL + "test_progress_text_and_completion_rule",
           TTS + "test_answer_errors_reach_caller", "tests/test_properties.py::test_narration_prefix_strip_and_decode")),
    Fault("hostile download addresses",
          "35 file addresses (options such as -e, other schemes, leading space or line break, non-text values); "
          "generated video addresses",
          "never a wget option: refused before wget, or passed whole as its last argument; the video address "
          "is percent-encoded with nothing safe",
          ("tests/test_hostile_addresses.py::", DL + "test_fetch_failures",
           "tests/test_properties.py::test_download_address_is_percent_encoded")),
    Fault("segments fuzz",
          "300 seeded files (invalid UTF-8, BOM, deep nesting, huge numbers and strings, NULs, cut short, "
          "non-object elements, missing and non-string members) and 11 fixed ones",
          "a recap, or an ordinary exception at the first bad value; never SystemError, a crash or a hang",
          ("tests/test_segments_fuzz.py::", RUN + "test_segments_file_faults")),
    Fault("argument binding",
          "32 fixed calls and 300 generated positional/keyword mixes, types and str subclasses",
          "exactly a Python function's binding and messages; TypeError before anything starts",
          ("tests/test_properties.py::test_binding_matches_the_model", "tests/test_interface.py::test_binding_messages")),
    Fault("odd output directories",
          "pipe:1, file:x beside an existing x, -out, a time stamp, line feed or carriage return, apostrophe, "
          "empty, trailing slash",
          "ffmpeg gets such relative paths with ./ in front; a line break is refused with ValueError before "
          "anything is written",
          (OUT + "test_relative_dir_ffmpeg_would_misread", OUT + "test_line_break_in_dir_refused_before_anything",
           RUN + "test_output_dir_join_rule", RUN + "test_apostrophe_dir_integer_speed_and_rebound_tempo_chain")),
    Fault("full disk, broken output",
          "a 48 MiB tmpfs filled during the merge and the concatenation; each step's MP4 cut short after exit 0; "
          "a stand-in writing a non-MP4; a result with ftyp and moov but no media data under overwrite=True",
          "OSError ENOSPC (EIO on a disk with room) naming the file and the step; no cleanup, working files kept; "
          "other forms left alone; both results are checked whole before anything replaces the earlier ones",
          (OUT + "test_full_disk_is_no_success", OUT + "test_broken_mp4_after_exit_0_ends_run_keeping_files",
           OUT + "test_software_conversion_checked_and_non_mp4_left_alone",
           "tests/test_working_folder.py::test_a_result_without_media_never_replaces_an_earlier_one")),
    Fault("missing tools",
          "ffmpeg not on PATH for the conversion; neither ffmpeg nor wget on PATH",
          "FileNotFoundError ends the run, files kept; vantor doctor says what is missing",
          (RUN + "test_conversion_outcomes[tool-missing]", "tests/test_cli.py::test_doctor_without_the_tools")),
    Fault("interrupts",
          "SIGINT to the Python process, and to its process group, while libx264 converts",
          "KeyboardInterrupt; no ffmpeg left running; working files kept",
          ("tests/test_interrupt.py::",)),
    Fault("two threads",
          "two recaps at once in one process",
          "both finish, overlapping, each with its own clips",
          ("tests/test_two_threads.py::",)),
    Fault("batch cluster access",
          "a Dask client over plain TCP, one with another run's TLS credentials, a TLS client without a "
          "certificate; the listening sockets of a running batch; its HTTP pages; a TLS-only scheduler "
          "reached with --tls-* files",
          "the embedded cluster refuses all three at the handshake, listens on 127.0.0.1 only and serves no "
          "page but /health; a running scheduler gets the credentials given",
          ("tests/test_batch_cluster.py::", BATCH + "test_separately_started_scheduler_and_worker_over_tls")),
    Fault("batch resume",
          "each output cut short, emptied, rewritten at the same size, removed; the segments file moved, and "
          "edited in place; each field of the job changed (address, segments, voice, speed, captions); a "
          "marker without the outputs' hashes; a truncated FINAL_RECAP.mp4 in a real rerun",
          "the job is redone (its marker records each output's size and sha256, and the job's fingerprint "
          "covers every field but its folder, the segments file by content); the same text under another "
          "path is still done",
          ("tests/test_batch_marker.py::", BATCH + "test_six_jobs_retry_report_and_resume")),
    Fault("two batch runs, dying workers",
          "a job folder held by another run; two runs of one jobs file at once; a worker process killed "
          "while it runs a job",
          "the folder's lock leaves a held job to its run (status locked, one line, nothing written); the "
          "killed job is rerun by Dask and reported with 2 attempts",
          ("tests/test_batch_claim.py::", BATCH + "test_a_folder_held_by_another_run_is_left_alone",
           BATCH + "test_two_runs_of_one_jobs_file_at_once",
           BATCH + "test_a_job_dask_reran_after_its_worker_died_counts_both_attempts")),
    Fault("batch interrupts",
          "SIGINT to the batch's process while libx264 converts; Ctrl-C on a terminal (the whole group: "
          "command, workers, ffmpeg)",
          "exit 130, every job cancelled, no ffmpeg left within 3 s; the summary line and no Dask traceback",
          ("tests/test_batch_interrupt.py::",)),
    Fault("leaks",
          "5 success paths and 19 failure paths across the four operations, 100 calls each; the fixed binding calls",
          "no growth in objects by type or in allocated blocks",
          ("tests/test_leaks.py::", "tests/test_interface.py::test_calls_do_not_leak")),
    Fault("services: hostile fetched files",
          "a 200 video/mp4 body that is an HLS playlist naming a root-only local file; playlists, concat scripts, "
          "pages and broken MPEG-TS posing as video; a faststart MP4 cut in half with no Content-Length",
          "ffmpeg opens only a sniffed MP4/Matroska/MPEG-TS with format and protocol whitelists; the job fails "
          "(not a video, closed early), nothing cached, no byte of the file served; the recap exits 1",
          (HS + "test_only_self_contained_containers_are_opened", HS + "test_a_playlist_posing_as_a_video_serves_no_local_file",
           HS + "test_a_source_that_closes_half_way_is_not_cached", HS + "test_completeness_reads_the_end_against_the_declared_duration",
           HS + "test_recap_of_a_source_that_closes_half_way_fails")),
    Fault("services: fetches outside the guard",
          "HLS playlists with SAMPLE-AES, SAMPLE-AES-CTR (also followed by METHOD=NONE, or with the URI first) "
          "naming segments and a key on an internal server; 6 key tags and 9 formats (RTMP, F4M, live, DRM, 8K, 6 hours, ...) "
          "classified; DASH with separate video and audio",
          "unsupported before any segment or key is asked for, even with private sources allowed; yt-dlp runs "
          "its own downloaders only and gets no ffmpeg; separate video and audio are merged by the service's rewrite",
          (HS + "test_hls_that_yt_dlp_would_hand_to_ffmpeg_is_unsupported",
           HS + "test_which_hls_key_methods_are_fetched_natively", HS + "test_only_formats_yt_dlp_fetches_itself_are_downloaded",
           "tests/test_download_service.py::test_separate_video_and_audio_are_fetched_natively_and_merged_by_the_rewrite")),
    Fault("services: fetched bytes the engine would misread",
          "a 1 GB MP4 whose first box (size <!--, type free) is a DASH manifest naming a root-only local file",
          "every download is rewritten by the service's own ffmpeg (sniffed demuxer, format and protocol "
          "whitelists) into a fresh MP4, the only file handed on: nothing of the named file, MP4 to ffprobe's own probing",
          (HS + "test_an_mp4_that_is_also_a_dash_manifest_is_handed_on_as_a_fresh_mp4",)),
    Fault("services: unbounded children",
          "an 8192x8192 H.264 file; 8 picture and duration bounds; a child (and its child) past the deadline, "
          "silent past the stall limit, at shutdown; a child burning CPU; SIGTERM to vantor serve mid-conversion",
          "refused as unsupported from the header before any decoding; the child's group is killed by each bound; "
          "every child runs under a CPU-time limit (prlimit); serve exits 0 within 5 s, its ffmpeg gone",
          (HS + "test_a_picture_past_8k_is_refused_before_decoding", HS + "test_the_picture_and_duration_bounds",
           SB + "test_each_bound_ends_a_child_and_its_group", SB + "test_a_child_carries_a_cpu_limit_from_the_deadline",
           SB + "test_serve_stops_within_five_seconds_of_sigterm_mid_conversion")),
    Fault("services: private destinations",
          "an internal service on loopback asked for directly, through a 302, a <video src>, an HLS segment and "
          "a name that resolves anew; 23 addresses classified",
          "refused as private before connecting, on the address connected; allowed with --allow-private-sources, "
          "or in-process when the user's own address is private; the internal service is never contacted",
          (HS + "test_an_internal_service_is_reached_only_when_allowed", HS + "test_a_name_that_resolves_anew_cannot_reach_the_internal_address",
           HS + "test_which_addresses_are_public")),
    Fault("services: private means every address",
          "a name resolving to one private and one public address; a private name resolving to a public address "
          "the second time; a private page redirecting to a public one that redirects back (kept-alive "
          "connection); 15 IPv6 forms carrying IPv4 (NAT64, 6to4, Teredo, compatible, mapped)",
          "a private job needs a name with private addresses only, connects to the addresses judged, and reaches "
          "no private address after a public one; the carried IPv4 address is judged",
          (SP + "test_a_private_job_stays_private_from_its_start", SP + "test_ipv6_forms_are_judged_by_the_ipv4_address_they_carry")),
    Fault("services: the cache obeys the policy",
          "a loopback video cached by an in-process run, then asked of a service without --allow-private-sources "
          "and of another in-process one; 7 rule and reach pairs",
          "the public-only service refuses it as private and does not contact the site; the other serves it from "
          "the cache",
          (SP + "test_a_cached_file_is_admitted_as_its_fetch_would_be",
           SP + "test_a_private_file_cached_by_a_run_is_not_served_by_a_public_only_service")),
    Fault("services: speech flood",
          "45 narrations at once from one client held speaking; meanwhile the cached file, its progress, a second "
          "client's narration and a third client's past the queue",
          "file and progress answer; the second client's narration goes next; 4 per client (default 8) and 5 in "
          "all (default 32) admitted, the rest 503 busy at once",
          (SP + "test_a_speech_flood_leaves_files_progress_and_other_clients_served",)),
    Fault("services: forwarded headers",
          "30 job requests to vantor serve with X-Forwarded-For (alone and chained), X-Real-IP and Forwarded "
          "naming other loopback addresses",
          "the peer address counts: 16 wait, 14 get 503; the log shows 127.0.0.1 only",
          (SP + "test_forwarded_headers_neither_make_new_clients_nor_reach_the_log",)),
    Fault("services: other local users",
          "requests with no token, a shorter or a longer one, one of the right length wrong in its last "
          "character or after its fourth, in the path and in the X-Vantor-Token header; file addresses by job "
          "id and by a wrong capability; the request log",
          "the same bare 404 for each; the token holder (path or header) is served; a file only by the "
          "capability handed out for it (gone 600 s after it was handed out, however it is used); the log shows "
          "<token>",
          (SB + "test_only_the_token_holder_is_served",
           SB + "test_a_file_address_lapses_ten_minutes_after_it_was_handed_out_however_it_is_used",
           "tests/test_service_commands.py::test_serve_logs_on_stderr_and_stops_with_the_shared_statuses")),
    Fault("secrets on command lines",
          "all of /proc scanned from the services' file answer and every 10 ms through a recap via a vantor "
          "serve (VANTOR_SERVICES_URL) and a studio session (load, make); the browser vantor studio opens; its "
          "one-time address used twice; a second Unix user scanning /proc and racing the browser for the open "
          "address; the page's token without the cookie, and a cookie wrong in one character",
          "no token and no file address (/files/) in any process's command line: a run links the in-process "
          "services' cached file or has wget read the address from a 0600 file, the studio probes its own copy, "
          "the router sends the token in a header; the browser opens a 0600 file whose form posts a one-time "
          "code for an HttpOnly, SameSite=Strict cookie; one session per studio, a second use is 403 and said on "
          "the terminal, the token without the cookie 404",
          ("tests/test_command_line_secrets.py::", "tests/test_studio_server.py::test_guard",
           "tests/test_studio_server.py::test_the_first_exchange_makes_the_one_session_and_voids_every_other_code",
           "tests/test_run_host.py::test_the_fetch_puts_no_file_address_on_a_command_line")),
    Fault("studio and services: malformed bodies",
          "generated bodies for api/load, speak, fit, save, make and the speech endpoint: 9,000 to 32,000 "
          "nested [ or {, bytes that are no JSON, numbers past Python's 4,300 digits, lone surrogates, "
          "other shapes",
          "400 with one line, never 500; nothing saved or started",
          ("tests/test_malformed_bodies.py::",)),
    Fault("services: slow and stalled sources",
          "40 job requests for a page that never ends; 3 addresses of one site; a drip past the deadline; a silent "
          "source; SIGTERM to vantor serve and one Ctrl-C to vantor recap mid-download",
          "waits hold no thread, requests past the caps get 503 busy, speech answers in under 1 s; the job fails "
          "as stalled; serve exits 0 within 5 s, recap 130 within 2 s, no traceback",
          (SB + "test_a_slow_site_leaves_the_service_responsive", SB + "test_one_site_cannot_take_every_download_slot",
           SB + "test_a_stall_and_the_deadline_end_a_download", SB + "test_serve_stops_within_five_seconds_of_sigterm_mid_download",
           SB + "test_recap_stops_within_two_seconds_of_one_ctrl_c_mid_download")),
    Fault("services: malformed requests and options",
          "format=², 5,000 digits and other non-heights; 30,000 nested [; lone surrogates; yt-dlp errors "
          "naming server paths; serve --max-jobs 0, --cache-gib nan/-1/inf, --port 70000, a short token",
          "400 (never 500) with one line; failed jobs say unavailable/private/unsupported/stalled/closed early "
          "without paths; bad options are usage errors (exit 2)",
          (SB + "test_a_malformed_format_is_400", SB + "test_malformed_speech_bodies_are_400",
           SB + "test_bad_serve_options_are_usage_errors", HS + "test_errors_are_a_few_plain_answers",
           "tests/test_speech_service.py::test_bad_requests_are_refused_before_speaking")),
    Fault("narration loudness",
          "tones quiet, near full scale and with clicks 30 dB over their bed; silence; each voice's short and "
          "long narrations",
          "-16 LUFS integrated within 0.5 LU (1 LU for whole narrations), true peak at most -1.5 dBTP, held "
          "as written figures; silence left silent",
          ("tests/test_narration_audio.py::test_normalise_reaches_the_target_within_the_peak_limit",
           "tests/test_narration_audio.py::test_silence_is_left_silent",
           "tests/test_neural_speech.py::test_narrations_leave_at_the_loudness_target")),
    Fault("services: cache hygiene",
          "partial files of a killed service beside a held one; 64 holders of one lock; speech on a full disk; "
          "a small limit with a finished file not yet fetched",
          "unheld partial files removed at start, held ones counted against the limit; lock files removed; 507 "
          "with no temporary file left; a file stays until fetched, then a poll says it left the cache",
          (SB + "test_partial_files_nobody_holds_are_removed_and_counted", SB + "test_a_lock_file_removed_by_its_holder_still_excludes",
           SB + "test_speech_on_a_full_disk_is_507_and_leaves_nothing", SB + "test_a_finished_file_stays_until_its_client_fetched_it")),
    Fault("services: hostile captions",
          "a 320 KB rolling caption quadratic to compare; 8 MiB and 100,000 cues on both sides of the limit; "
          "bidirectional overrides, zero-width characters and --->; words past the video; a reading past its "
          "deadline; a hostile host naming a real video's id",
          "read in linear time (about 2 s through the service), within the request's deadline and a CPU bound; "
          "controls dropped, no --> left in any caption written; words kept within the video; a video's key "
          "holds the host unless a fixed site's extractor read the address",
          ("tests/test_caption_service.py::", "tests/test_transcripts.py::test_the_same_video_is_known_by_its_key")),
    Fault("services: fragments and incomplete files",
          "an HLS playlist whose fourth fragment answers 404, or is on an internal address; MPEG-TS cut to "
          "two thirds of its playlist; an MKV cut to 60 %; a whole file of 3,000 frames a second",
          "a failed fragment fails the job (no skipping, three retries), naming the guard's refusal; MPEG-TS is "
          "held to its playlist's total by its packets' span, Matroska and MP4 to their declared duration; no "
          "false refusal at high frame rates",
          (HS + "test_a_fragment_that_fails_fails_the_job", HS + "test_completeness_of_mpeg_ts_against_its_playlist",
           HS + "test_a_whole_file_of_3000_frames_a_second_is_not_refused")),
    Fault("batch: links in output folders",
          "links another Unix user planted in a 0777 job folder: recap.log, the marker, its old temporary's "
          "name, the lock, the report and an output, pointing at a root-only file",
          "nothing opened through a link (O_EXCL temporaries renamed into place, O_NOFOLLOW for the rest): that "
          "job fails in one line, the file is untouched; the folder is named in one line before the jobs run",
          (BATCH + "test_links_another_user_planted_in_an_open_folder_are_not_followed",
           "tests/test_batch_marker.py::test_nothing_is_written_or_read_through_a_link_planted_in_the_folder")),
    Fault("services: speech that holds a slot",
          "5,000 characters of Cyrillic for an English neural voice; a neural child that never answers",
          "refused at once, 400 in one line, the voice never asked; a narration's time limit grows from 10 s "
          "by 0.02 s a character (espeak-ng bounded too)",
          ("tests/test_neural_speech.py::test_speech_is_bounded_by_its_text",
           "tests/test_neural_speech.py::test_piper_child_timeouts_foreign_paths_and_one_narration_at_a_time")),
    Fault("private caches and a bounded studio",
          "a cache an older version left 0755/0644, then a smart-framed recap; 12 framing questions on a 300 s "
          "film at once, then SIGTERM",
          "every cache folder 0700 and file 0600 (downloads, framing, transcripts, speech); one analysis runs "
          "and two wait, the rest 503 at once, other requests answer; the studio exits within 5 s, every "
          "question answered",
          ("tests/test_framing.py::test_smart_recap_keeps_a_left_third_subject_in_the_crop_and_analyses_once",
           "tests/test_studio_framing_server.py::test_framing_questions_past_a_short_queue")),
]


class Outcomes:
    """Collects each test's outcome by node id."""

    def __init__(self) -> None:
        self.by_node: dict[str, str] = {}

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        if report.when == "call" or report.outcome != "passed":
            if self.by_node.get(report.nodeid) != "failed":
                self.by_node[report.nodeid] = report.outcome


def verdict(fault: Fault, outcomes: dict[str, str]) -> tuple[str, bool]:
    mine = [o for node, o in outcomes.items() if any(node.startswith(t) for t in fault.tests)]
    counts = {kind: mine.count(kind) for kind in ("passed", "failed", "skipped")}
    text = ", ".join(f"{n} {kind}" for kind, n in counts.items() if n) or "no tests ran"
    return text, bool(mine) and counts["failed"] == 0


def main(argv: list[str]) -> int:
    os.chdir(ROOT)
    outcomes = Outcomes()
    selectors = sorted({t.split("[")[0] if t.endswith("]") else t.rstrip(":") for f in FAULTS for t in f.tests})
    print(f"faults: running the tests behind {len(FAULTS)} fault classes ...", flush=True)
    pytest.main(["-q", "-p", "no:cacheprovider", *selectors, *argv], plugins=[outcomes])
    rows, ok = [], True
    for fault in FAULTS:
        text, good = verdict(fault, outcomes.by_node)
        ok = ok and good
        rows.append(f"| {fault.name} | {fault.cases} | {fault.outcome} | {text} |")
    print()
    print("| fault class | cases tried | what vantor does | tests |")
    print("| --- | --- | --- | --- |")
    print("\n".join(rows))
    if not ok:
        print("\nfaults: some fault classes are not as the table says (see the test output above)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
