"""A real terminal emulator (libvterm) that the program's output is played
into, so tests can look at the resulting screen: cell text and cursor."""
import ctypes
import ctypes.util


class _Rect(ctypes.Structure):
    _fields_ = [("start_row", ctypes.c_int), ("end_row", ctypes.c_int),
                ("start_col", ctypes.c_int), ("end_col", ctypes.c_int)]


class _Pos(ctypes.Structure):
    _fields_ = [("row", ctypes.c_int), ("col", ctypes.c_int)]


def _load():
    for name in ("libvterm.so.0", ctypes.util.find_library("vterm"), "libvterm.so"):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name)
        except OSError:
            continue
        lib.vterm_new.restype = ctypes.c_void_p
        lib.vterm_new.argtypes = [ctypes.c_int, ctypes.c_int]
        lib.vterm_free.argtypes = [ctypes.c_void_p]
        lib.vterm_set_utf8.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.vterm_input_write.restype = ctypes.c_size_t
        lib.vterm_input_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
        lib.vterm_obtain_screen.restype = ctypes.c_void_p
        lib.vterm_obtain_screen.argtypes = [ctypes.c_void_p]
        lib.vterm_obtain_state.restype = ctypes.c_void_p
        lib.vterm_obtain_state.argtypes = [ctypes.c_void_p]
        lib.vterm_screen_reset.argtypes = [ctypes.c_void_p, ctypes.c_int]
        lib.vterm_screen_get_text.restype = ctypes.c_size_t
        lib.vterm_screen_get_text.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, _Rect]
        lib.vterm_state_get_cursorpos.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Pos)]
        return lib
    return None


_lib = _load()
available = _lib is not None


class Screen:
    """An 80x24 (by default) terminal fed with raw output bytes."""

    def __init__(self, rows=24, cols=80):
        self.rows, self.cols = rows, cols
        self.vt = _lib.vterm_new(rows, cols)
        _lib.vterm_set_utf8(self.vt, 0)
        self.screen = _lib.vterm_obtain_screen(self.vt)
        self.state = _lib.vterm_obtain_state(self.vt)
        _lib.vterm_screen_reset(self.screen, 1)

    def feed(self, data: bytes):
        _lib.vterm_input_write(self.vt, data, len(data))

    def row(self, r):
        """The text of row r (0-based), trailing blanks removed."""
        buf = ctypes.create_string_buffer(self.cols * 4 + 1)
        n = _lib.vterm_screen_get_text(self.screen, buf, len(buf), _Rect(r, r + 1, 0, self.cols))
        return buf.raw[:n].decode("latin-1").rstrip(" ")

    def text(self):
        return [self.row(r) for r in range(self.rows)]

    def cursor(self):
        """(row, column), 0-based."""
        pos = _Pos()
        _lib.vterm_state_get_cursorpos(self.state, ctypes.byref(pos))
        return pos.row, pos.col

    def close(self):
        if self.vt:
            _lib.vterm_free(self.vt)
            self.vt = None

    def __del__(self):
        self.close()
