"""Sample user scripts, run by the demo."""
