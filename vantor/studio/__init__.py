"""`vantor studio`: a browser page for making a recap by hand. Load a
video, mark ranges on it, write and hear each narration, save the segments
file, make the recap and watch it. The page is plain HTML, CSS and script
in static/, served with the session's token by `app.Studio`."""
