"""The framing feature: the modes and filters that frame the picture, and the smart framing's look at each range."""
