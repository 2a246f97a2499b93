"""Editor-only stand-in for the quorvel package; its names are described in __init__.pyi.

A directory with only a stub would be a namespace package, which loses to the installed
quorvel package further along the editor's search path; this file makes it a regular
package, found first, and the stub beside it supplies the names.
"""
