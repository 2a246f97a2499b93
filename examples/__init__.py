"""The demo's sample user modules, which import one another by bare name as in the kernel, and
the editor session it replays over them."""
