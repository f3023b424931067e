// For the tests' GNOME Shell sessions (tests/support/gnome_session.sh) only: whether the shell
// shows a process's window as the window drew it. The shell maps a new window in from transparent
// and small, and with animations off that still takes a frame or two after the window's first
// frame has been presented, so a capture in between finds only the desktop.
/* exported init */
const PATH = '/org/brindlemoor/PictossTests';
const INTERFACE = `
<node>
  <interface name="org.brindlemoor.PictossTests.Windows">
    <method name="Shown">
      <arg type="u" direction="in" name="pid"/>
      <arg type="b" direction="out" name="shown"/>
    </method>
  </interface>
</node>`;

const {Gio} = imports.gi;

class Windows {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE, this);
        this._object.export(Gio.DBus.session, PATH);
    }

    disable() {
        this._object?.unexport();
        this._object = null;
    }

    Shown(pid) {
        return global.get_window_actors().some(actor =>
            actor.meta_window.get_pid() === pid && actor.mapped &&
            actor.get_paint_opacity() === 255 && actor.scale_x === 1 && actor.scale_y === 1 &&
            actor.translation_x === 0 && actor.translation_y === 0);
    }
}

function init() {
    return new Windows();
}
