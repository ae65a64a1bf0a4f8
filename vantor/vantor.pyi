"""Recap engine: cuts, narrates, joins and converts video segments into a vertical recap."""

import base64 as base64
import json as json
import os as os
import re as re
import subprocess as subprocess
import time as time
from urllib.parse import quote as quote

import requests as requests

def _download_video(url: str, output_file: str) -> None:
    """Download YouTube video via the configured download service API."""

def _generate_tts(text: str, output_file: str, voice: str) -> None:
    """Generate TTS audio using the configured speech service API."""

def _build_atempo_chain(speed: float) -> str:
    """Build ffmpeg atempo filter chain.

    atempo is limited to 0.5-2.0 range per filter, so we chain for higher speeds.
    """

def run_recap(
    youtube_url: str,
    segments_file: str,
    speed_factor: float,
    tts_voice: str,
    output_dir: str = ".",
) -> str:
    """Main recap processing engine; returns the path of FINAL_RECAP.mp4."""
