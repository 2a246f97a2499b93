# Types of the sensewell extension module: LSPBridge and the module globals it shares.
# tests/test_stubs.py holds them to what the built module defines.

import ast as ast
import importlib as importlib
import importlib.util
import io as io
import logging as logging
import os as os
import re as re
import sys as sys
import tempfile as tempfile
import threading as threading
from typing import Any as Any, Dict as Dict, List as List, Optional as Optional

import jedi as jedi  # type: ignore[import]

# Bound only when pyflakes and python-lsp-server are importable; see the two flags.
import pyflakes.api  # type: ignore[import]
import pyflakes.reporter  # type: ignore[import]
from pylsp import uris as uris  # type: ignore[import]
from pylsp.config.config import Config as Config  # type: ignore[import]
from pylsp.workspace import Document as Document, Workspace as Workspace  # type: ignore[import]

from quorvel_master.logging_config import (
    get_logger as get_logger,
    setup_logging_subprocess as setup_logging_subprocess,
)

pyflakes_api = pyflakes.api
pyflakes_reporter = pyflakes.reporter

PYFLAKES_AVAILABLE: bool
PYLSP_AVAILABLE: bool
logger: logging.Logger
JEDI_TO_MONACO_KIND: Dict[str, int]
MONACO_MARKER_SEVERITY_ERROR: int
MONACO_MARKER_SEVERITY_WARNING: int
PYFLAKES_MESSAGE_PATTERN: re.Pattern[str]
IMPORT_ALIAS_PATTERN: re.Pattern[str]

class LSPBridge:
    _workspace_path: Optional[str]
    _temp_dir: Optional[tempfile.TemporaryDirectory[str]]
    _python_server_path: str
    _stubs_path: str
    _jedi_project: Any
    _hover_mode: str
    def __init__(self) -> None: ...
    def preload_quorvel_module(self) -> None: ...
    def preload_quorvel_module_async(self) -> None: ...
    def cleanup(self) -> None: ...
    def set_hover_mode(self, mode: str) -> None: ...
    def update_sys_paths(self, new_paths: List[str]) -> None: ...
    def _get_word_prefix(self, code: str, line: int, column: int) -> str: ...
    def _format_signature(self, signature: Any) -> str: ...
    def _format_compact_hover(self, definition: Any) -> Optional[str]: ...
    def _get_type_description(self, definition: Any, fallback_type: str) -> str: ...
    def _is_module_name(self, path: str) -> bool: ...
    def sync_modules(
        self, modules: Dict[str, str], dirty_files: Optional[Dict[str, str]] = None
    ) -> None: ...
    def delete_module(self, module_name: str) -> None: ...
    def get_completions(
        self,
        code: str,
        line: int,
        column: int,
        path: Optional[str] = None,
        modules: Optional[Dict[str, str]] = None,
        dirty_files: Optional[Dict[str, str]] = None,
    ) -> Dict[str, Any]: ...
    def set_workspace(self, workspace_path: str) -> None: ...
    def get_signature_help(
        self,
        code: str,
        line: int,
        column: int,
        path: Optional[str] = None,
        modules: Optional[Dict[str, str]] = None,
        dirty_files: Optional[Dict[str, str]] = None,
    ) -> Dict[str, Any]: ...
    def get_hover(
        self,
        code: str,
        line: int,
        column: int,
        path: Optional[str] = None,
        modules: Optional[Dict[str, str]] = None,
        dirty_files: Optional[Dict[str, str]] = None,
    ) -> Dict[str, Any]: ...
    def get_diagnostics(self, code: str, module_name: Optional[str] = None) -> Dict[str, Any]: ...
    def _run_pyflakes(self, code: str, filename: str) -> List[Dict[str, Any]]: ...
    def _parse_pyflakes_message(self, message: str, severity: int) -> Optional[Dict[str, Any]]: ...
    def _check_unresolved_imports(
        self, code: str, module_name: Optional[str] = None
    ) -> List[Dict[str, Any]]: ...
    def _can_resolve_import(self, module_name: str) -> bool: ...
    def get_definitions(
        self,
        code: str,
        line: int,
        column: int,
        path: Optional[str] = None,
        modules: Optional[Dict[str, str]] = None,
        dirty_files: Optional[Dict[str, str]] = None,
    ) -> Dict[str, Any]: ...
    def get_references(
        self,
        code: str,
        line: int,
        column: int,
        path: Optional[str] = None,
        modules: Optional[Dict[str, str]] = None,
        dirty_files: Optional[Dict[str, str]] = None,
    ) -> Dict[str, Any]: ...
    def get_document_symbols(self, code: str, path: Optional[str] = None) -> Dict[str, Any]: ...
    def get_rename_edits(
        self,
        code: str,
        line: int,
        column: int,
        new_name: str,
        path: Optional[str] = None,
        modules: Optional[Dict[str, str]] = None,
        dirty_files: Optional[Dict[str, str]] = None,
    ) -> Dict[str, Any]: ...
    def get_code_actions(
        self,
        code: str,
        line: int,
        column: int,
        path: Optional[str] = None,
        modules: Optional[Dict[str, str]] = None,
        dirty_files: Optional[Dict[str, str]] = None,
    ) -> Dict[str, Any]: ...
    def get_markers(self, code: str, module_name: Optional[str] = None) -> Dict[str, Any]: ...
    def _fill_completion_store(self) -> None: ...
