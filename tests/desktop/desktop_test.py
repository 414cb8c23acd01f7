#!/usr/bin/python3
"""The real window on a real X server, driven as a person drives it.

Starts Xvfb and openbox, runs the real program (BUILD/brivasto, copied into
a program folder of its own) with LANG=es_ES.UTF-8, and with xdotool clicks
its buttons, types into the real file dialog, reads the real message boxes
and presses their buttons:

1. the export of the sample school, interactively: the six tables written;
   F1 with a SAGA.chm beside the program and no viewer for it: the built-in
   help;
2. the import of Talvenor's sample solution into the exported document;
3. batch mode "exportar X" cancelled, once with a status file that can be
   written (-1, exit 0) and once with one on a read-only mount (the error
   shown with its reason, the file unchanged, exit non-zero).

Window titles are read from the X server (xdotool); the buttons, labels and
column headings of each window from the program's window log
(BRIVASTO_WINDOW_LOG). Any English text of the toolkit in them fails the
test. Screenshots of the window and of each dialog are kept in
BUILD/desktop-test/.

Usage: desktop_test.py BUILD_DIR
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import dbfread

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAIN_TITLE = "Exportar e importar datos entre Talvenor y SAGA"
DIALOG_TITLE = "Seleccione Archivo XML obtenido de SAGA"
TABLES = ["ASIGNOMT", "PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"]

# The toolkit's English words and phrases, as its dialogs would show them
# untranslated. The design's own "Unable to write to" and the main window's
# "OK" captions are the program's texts, not the toolkit's.
ENGLISH = re.compile(
    r"\b(Look in|File name|Files of type|Open|Cancel|Close|Save|Show Details|Hide Details|"
    r"OK|Yes|Apply|Reset|Help|Abort|Retry|Ignore|Discard|Back|Forward|Parent Directory|"
    r"Create New Folder|New Folder|List View|Detail View|Name|Size|Type|Date Modified|"
    r"Recent Places|My Computer|Computer|Directory|Directories|Files|Delete|Rename|"
    r"Show hidden files)\b")
ALLOWED = ["Unable to write to "]

TIMEOUT = 30.0  # seconds for any one thing to appear on the screen


class Failure(Exception):
    pass


def run(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def wait_until(what, probe, timeout=TIMEOUT):
    """Polls `probe` until it returns something true; fails naming `what`."""
    deadline = time.monotonic() + timeout
    while True:
        result = probe()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"después de {timeout:.0f} s sigue sin {what}")
        time.sleep(0.05)


class Desktop:
    """Xvfb with openbox, and what a test does on it."""

    def __init__(self, shots):
        self.shots = shots
        self.shot_count = 0
        self.xvfb = self.wm = None
        # Another X server starting at the same moment may take the display
        # number Xvfb picked, and the window manager then finds no display:
        # start again on another number.
        for _ in range(3):
            if self.start():
                return
            print("  Xvfb u openbox no han arrancado; otra vez", file=sys.stderr)
            self.close()
        raise Failure("Xvfb y openbox no arrancan")

    def start(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            pass_fds=[write], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        with os.fdopen(read) as display:
            number = display.readline().strip()
        if not number:
            return False
        self.display = ":" + number
        self.env = dict(os.environ, DISPLAY=self.display)
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def wm_up():
            if self.wm.poll() is not None:
                raise Failure("openbox ha terminado")
            return "_NET_SUPPORTING_WM_CHECK(WINDOW)" in subprocess.run(
                ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], capture_output=True, text=True,
                env=self.env).stdout
        try:
            wait_until("el gestor de ventanas", wm_up, timeout=10)
        except Failure:
            return False
        # The display must still be ours, not another test's.
        return self.xvfb.poll() is None

    def close(self):
        for process in (self.wm, self.xvfb):
            if process is None:
                continue
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()

    def xdotool(self, *arguments):
        return run("xdotool", *arguments, env=self.env)

    def window_ids(self, title):
        result = subprocess.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^" + re.escape(title) + "$"],
            capture_output=True, text=True, env=self.env)
        return result.stdout.split()

    def titles(self):
        result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."],
                                capture_output=True, text=True, env=self.env)
        names = set()
        for window in result.stdout.split():
            name = subprocess.run(["xdotool", "getwindowname", window], capture_output=True,
                                  text=True, env=self.env).stdout.strip()
            if name:
                names.add(name)
        return names

    def screenshot(self, name):
        self.shot_count += 1
        path = os.path.join(self.shots, f"{self.shot_count:02d}-{name}.png")
        run("import", "-window", "root", path, env=self.env)
        if os.path.getsize(path) == 0:
            raise Failure(f"captura vacía: {path}")
        print(f"  captura {path}")
        return path

    def click(self, x, y):
        self.xdotool("mousemove", "--sync", str(x), str(y), "click", "1")

    def keys(self, *keys):
        self.xdotool("key", "--clearmodifiers", *keys)

    def type(self, text):
        self.xdotool("type", "--delay", "15", "--clearmodifiers", text)


class Window:
    """One window of the program as the window log shows it."""

    def __init__(self, name, kind, title, place, active):
        self.name, self.kind, self.title, self.active = name, kind, title, active == "active"
        self.place = tuple(int(n) for n in place.split())
        self.buttons = []  # (name, text, tooltip, (x, y, w, h), enabled, focus)
        self.labels = []
        self.columns = []

    def button(self, text=None, name=None):
        for button in self.buttons:
            if (name is None or button[0] == name) and (text is None or
                                                        button[1].replace("&", "") == text):
                return button
        raise Failure(f"la ventana «{self.title}» no tiene el botón {text or name}: "
                      f"{[b[1] for b in self.buttons]}")

    def texts(self):
        """Every text the window shows, without the "&" of access keys."""
        texts = [self.title, *self.labels, *self.columns]
        for button in self.buttons:
            texts += [button[1], button[2]]
        return [text.replace("&", "") for text in texts]


class Program:
    """A run of the real program on the desktop."""

    started = []  # every run, so that none outlives the test

    def __init__(self, desktop, program, arguments, env, wrapper=()):
        self.desktop = desktop
        self.log = env["BRIVASTO_WINDOW_LOG"]
        if os.path.exists(self.log):
            os.remove(self.log)
        # What the program prints goes to a file: a pipe nobody reads could fill.
        self.output = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen([*wrapper, program, *arguments], env=env,
                                        stdout=self.output, stderr=subprocess.STDOUT)
        Program.started.append(self)

    def printed(self):
        self.output.seek(0)
        return self.output.read()

    def windows(self):
        try:
            with open(self.log, encoding="utf-8") as log:
                lines = log.read().splitlines()
        except FileNotFoundError:
            return []
        windows = []
        for line in lines:
            fields = line.split("\t")
            if fields[0] == "window":
                windows.append(Window(*fields[1:6]))
            elif fields[0] == "button" and windows:
                name, text, tip, place, enabled, focus = fields[1:7]
                windows[-1].buttons.append((name, text, tip, tuple(int(n) for n in place.split()),
                                            enabled == "enabled", focus == "focus"))
            elif fields[0] == "label" and windows:
                windows[-1].labels.append(fields[1])
            elif fields[0] == "column" and windows:
                windows[-1].columns.append(fields[1])
        return windows

    def wait_window(self, name, title, timeout=TIMEOUT):
        """The program's window `name` once it is up, active and titled on the X server."""
        def probe():
            if self.process.poll() is not None:
                raise Failure(f"el programa terminó (estado {self.process.returncode}) "
                              f"esperando «{title}»: {self.printed()}")
            for window in self.windows():
                if window.name == name and window.active and self.desktop.window_ids(title):
                    return window
            return None
        window = wait_until(f"la ventana «{title}»", probe, timeout)
        if window.title != title:
            raise Failure(f"título «{window.title}», se esperaba «{title}»")
        check_spanish(window, self.desktop.titles())
        return window

    def click(self, window, text=None, name=None):
        _, _, _, (x, y, w, h), enabled, _ = window.button(text, name)
        if not enabled:
            raise Failure(f"el botón {text or name} de «{window.title}» está desactivado")
        self.desktop.click(x + w // 2, y + h // 2)

    def wait_gone(self, name, timeout=TIMEOUT):
        wait_until(f"que se cierre {name}",
                   lambda: all(w.name != name for w in self.windows()) or
                   self.process.poll() is not None, timeout)

    def wait_exit(self, timeout=TIMEOUT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure("el programa no termina")


def check_spanish(window, x_titles):
    """Fails on English text of the toolkit in a dialog or in any window title."""
    found = []
    for title in x_titles:
        if ENGLISH.search(title):
            found.append(f"título «{title}»")
    if window.name != "MForm":  # the main window's captions are the program's own
        for text in window.texts():
            for allowed in ALLOWED:
                text = text.replace(allowed, "")
            if ENGLISH.search(text):
                found.append(f"«{text}»")
    if found:
        raise Failure(f"texto en inglés en «{window.title}»: " + ", ".join(found))


def choose_file(desktop, program, path, shot):
    """Types `path` into the open file dialog and confirms it."""
    dialog = program.wait_window("OpenDialogXML", DIALOG_TITLE)
    width, height = dialog.place[2:]
    if width < 700 or height < 400:
        raise Failure(f"el diálogo de archivos se abre pequeño: {width} × {height}")
    for heading in ("Nombre", "Tamaño", "Tipo"):
        if heading not in dialog.columns:
            raise Failure(f"el diálogo de archivos no muestra la columna {heading}: "
                          f"{dialog.columns}")
    desktop.screenshot(shot)
    desktop.type(path)
    time.sleep(0.3)  # the completer's list opens a moment after the last key
    desktop.screenshot(shot + "-nombre")
    # The completer may have opened its list over the dialog: Return takes
    # the typed name (a first Return may only close the list).
    for _ in range(3):
        desktop.keys("Return")
        try:
            program.wait_gone("OpenDialogXML", timeout=3)
            return
        except Failure:
            continue
    raise Failure("el diálogo de archivos no acepta el nombre escrito")


def read_box(program, name, text):
    box = program.wait_window(name, "Brivasto")
    if text not in box.labels:
        raise Failure(f"se esperaba «{text}» en el mensaje: {box.labels}")
    return box


def finished_box(desktop, program, shot):
    box = read_box(program, "MessageBox", "Proceso finalizado")
    notice = [label for label in box.labels if "aviso" in label]
    if not notice:
        raise Failure(f"el mensaje no dice cuántos avisos hay: {box.labels}")
    # No leftover of the file dialog: neither it nor its completer's list.
    stray = [w.kind for w in program.windows() if w.name not in ("MForm", "MessageBox")]
    if stray:
        raise Failure(f"quedan ventanas del diálogo de archivos: {stray}")
    desktop.screenshot(shot)
    print(f"  «Proceso finalizado»: {notice[0]}")
    return box


def export_and_help(desktop, program_file, env, work):
    print("Exportación interactiva")
    program = Program(desktop, program_file, [], env)
    window = program.wait_window("MForm", MAIN_TITLE)
    main_id = desktop.window_ids(MAIN_TITLE)[0]
    if "_NET_WM_ICON(CARDINAL)" not in run("xprop", "-id", main_id, "_NET_WM_ICON",
                                            env=desktop.env):
        raise Failure("la ventana no tiene icono")
    if not window.button(name="BClose")[5]:
        raise Failure("el foco no empieza en Salir")
    desktop.screenshot("ventana")
    program.click(window, name="BExportar")
    choose_file(desktop, program, os.path.join(work, "zwork", "saga", "centro.xml"),
                "dialogo-exportar")
    box = finished_box(desktop, program, "fin-exportar")
    program.click(box, "Mostrar los detalles...")
    box = wait_until("los detalles", lambda: next(
        (w for w in program.windows() if w.name == "MessageBox" and
         any(b[1].replace("&", "") == "Ocultar los detalles..." for b in w.buttons)), None))
    check_spanish(box, desktop.titles())
    desktop.screenshot("detalles-exportar")
    program.click(box, "Aceptar")
    program.wait_gone("MessageBox")

    for table in TABLES:
        path = os.path.join(work, "zwork", table + ".DBF")
        records = len(list(dbfread.DBF(path, encoding="cp1252")))
        if table != "DIASHORAST" and records == 0:
            raise Failure(f"la tabla {table} está vacía")
        print(f"  {table}: {records} registros")
    window = program.wait_window("MForm", MAIN_TITLE)
    if window.button(name="BExportar")[4] or window.button(name="BImportar")[4]:
        raise Failure("los botones OK siguen activos tras la exportación")

    print("F1 con SAGA.chm y sin visor para él")
    desktop.xdotool("windowactivate", "--sync", main_id)
    desktop.keys("F1")
    help_window = program.wait_window("HelpWindow", "Ayuda de Brivasto")
    help_window.button("Cerrar")
    desktop.screenshot("ayuda")
    program.click(help_window, "Cerrar")
    program.wait_gone("HelpWindow")

    window = program.wait_window("MForm", MAIN_TITLE)
    program.click(window, name="BClose")
    status = program.wait_exit()
    if status != 0:
        raise Failure(f"la ventana terminó con {status}")
    if os.path.exists(os.path.join(os.path.dirname(program_file), "Talvenor.ini")):
        raise Failure("el modo interactivo ha escrito Talvenor.ini")


def import_solution(desktop, program_file, env, work):
    print("Importación interactiva")
    for table in ("DIASHORAST.DBF", "SOLUC.DBF"):
        shutil.copy(os.path.join(SOURCE, "samples", "talvenor", table),
                    os.path.join(work, "zwork", table))
    document = os.path.join(work, "zwork", "saga", "centro.xml")
    program = Program(desktop, program_file, [], env)
    window = program.wait_window("MForm", MAIN_TITLE)
    program.click(window, name="BImportar")
    choose_file(desktop, program, document, "dialogo-importar")
    box = finished_box(desktop, program, "fin-importar")
    program.click(box, "Aceptar")
    program.wait_gone("MessageBox")
    with open(document, encoding="utf-8") as saved:
        if "<time-tables" not in saved.read():
            raise Failure("el documento no tiene la sección time-tables")
    window = program.wait_window("MForm", MAIN_TITLE)
    program.click(window, name="BClose")
    if program.wait_exit() != 0:
        raise Failure("la ventana terminó con error")


def cancelled_batch(desktop, program_file, env, work, read_only):
    what = "de solo lectura" if read_only else "que se puede escribir"
    print(f"Lote «exportar X» cancelado, archivo de estado {what}")
    folder = os.path.join(work, "solo-lectura" if read_only else "estado")
    os.makedirs(folder, exist_ok=True)
    status_file = os.path.join(folder, "Talvenor.ini")
    before = "[General]\r\nRuta=C:\\HOR\r\n[Transformadores]\r\nTransformado=1\r\n"
    with open(status_file, "w", newline="") as ini:
        ini.write(before)
    env = dict(env, BRIVASTO_STATUS_FILE=status_file)
    wrapper = ()
    if read_only:
        # A read-only mount holds the file: not even root may change it.
        wrapper = ("unshare", "-m", "sh", "-c",
                   'dir=$1; shift; mount --bind "$dir" "$dir" && '
                   'mount -o remount,bind,ro "$dir" && exec "$@"', "sh", folder)
    program = Program(desktop, program_file, ["exportar", "X"], env, wrapper)
    dialog = program.wait_window("OpenDialogXML", DIALOG_TITLE)
    desktop.screenshot("lote-dialogo" + ("-solo-lectura" if read_only else ""))
    program.click(dialog, "Cancelar")
    box = read_box(program, "MessageBox", "No existe archivo")
    if not read_only:
        desktop.screenshot("lote-no-existe")
    program.click(box, "Aceptar")
    if read_only:
        error = read_box(program, "ErrorBox", "Unable to write to " + status_file)
        if not any("el sistema de archivos es de solo lectura" in label for label in error.labels):
            raise Failure(f"el error no dice por qué en español: {error.labels}")
        desktop.screenshot("lote-estado-no-escrito")
        program.click(error, "Aceptar")
    status = program.wait_exit()
    with open(status_file, newline="") as ini:
        after = ini.read()
    if read_only:
        if status == 0:
            raise Failure("el lote sin archivo de estado terminó con 0")
        if after != before:
            raise Failure(f"el archivo de estado ha cambiado: {after!r}")
    else:
        if status != 0:
            raise Failure(f"el lote terminó con {status}")
        if after != before.replace("Transformado=1", "Transformado=-1"):
            raise Failure(f"el archivo de estado no dice -1: {after!r}")
    print(f"  estado de salida {status}; Transformado={after.split('Transformado=')[1].strip()}")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE, "build"))
    shots = os.path.join(build, "desktop-test")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    work = tempfile.mkdtemp(prefix="brivasto-escritorio-")
    desktop = None
    try:
        # The program in a folder of its own, with a SAGA.chm beside it that
        # no program on this desktop opens.
        program_dir = os.path.join(work, "programa")
        os.makedirs(program_dir)
        program_file = os.path.join(program_dir, "brivasto")
        shutil.copy(os.path.join(build, "brivasto"), program_file)
        with open(os.path.join(program_dir, "SAGA.chm"), "wb") as chm:
            chm.write(b"ITSF\x03\x00\x00\x00")
        os.makedirs(os.path.join(work, "zwork", "saga"))
        shutil.copy(os.path.join(SOURCE, "samples", "saga-ejemplo.xml"),
                    os.path.join(work, "zwork", "saga", "centro.xml"))
        home = os.path.join(work, "casa")
        for folder in ("config", "data", "runtime"):
            os.makedirs(os.path.join(home, folder), mode=0o700)

        desktop = Desktop(shots)
        env = {key: value for key, value in desktop.env.items()
               if not key.startswith(("LC_", "QT_", "BRIVASTO_")) and key != "LANGUAGE"}
        env.update(LANG="es_ES.UTF-8", HOME=home, QT_QPA_PLATFORM="xcb",
                   XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_DATA_HOME=os.path.join(home, "data"), XDG_DATA_DIRS=os.path.join(home, "data"),
                   XDG_RUNTIME_DIR=os.path.join(home, "runtime"),
                   BRIVASTO_ZWORK=os.path.join(work, "zwork"),
                   BRIVASTO_WINDOW_LOG=os.path.join(work, "ventanas.txt"))

        export_and_help(desktop, program_file, env, work)
        import_solution(desktop, program_file, env, work)
        cancelled_batch(desktop, program_file, env, work, read_only=False)
        cancelled_batch(desktop, program_file, env, work, read_only=True)
        print(f"Prueba de escritorio superada; capturas en {shots}")
        return 0
    except (Failure, subprocess.CalledProcessError) as failure:
        if desktop is not None:
            try:
                desktop.screenshot("fallo")
            except Exception:  # the failure itself matters more than its picture
                pass
        log = os.path.join(work, "ventanas.txt")
        if os.path.exists(log):
            shutil.copy(log, os.path.join(shots, "ventanas-fallo.txt"))
        detail = getattr(failure, "stderr", "") or ""
        print(f"FALLO: {failure} {detail}", file=sys.stderr)
        return 1
    finally:
        for program in Program.started:
            if program.process.poll() is None:
                program.process.kill()
                program.process.wait()
        if desktop is not None:
            desktop.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
