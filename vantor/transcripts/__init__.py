"""A video's words with their times: from the site's captions or from
recognition on this machine, and the draft segments made from them."""
