// Pictoss's window in front, for GNOME Shell under Wayland: GNOME Shell gives no other program
// its windows, so this extension answers one question on the session bus. Pictoss calls
// FocusedFrame on the shell's own bus name (org.gnome.Shell) at the path below and cuts the
// rectangle out of the desktop portal's picture. The rectangle is the frame as the screen shows
// it (title bar included, shadows excluded), in stage pixels; the stage's size comes along so
// that the caller can scale it to the picture's pixels.
/* exported init */
const {Gio} = imports.gi;

const PATH = '/org/brindlemoor/Pictoss';
const INTERFACE = `
<node>
  <interface name="org.brindlemoor.Pictoss.Windows">
    <method name="FocusedFrame">
      <arg type="b" direction="out" name="found"/>
      <arg type="i" direction="out" name="x"/>
      <arg type="i" direction="out" name="y"/>
      <arg type="i" direction="out" name="width"/>
      <arg type="i" direction="out" name="height"/>
      <arg type="i" direction="out" name="stage_width"/>
      <arg type="i" direction="out" name="stage_height"/>
    </method>
  </interface>
</node>`;

class Windows {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(INTERFACE, this);
        this._object.export(Gio.DBus.session, PATH);
    }

    disable() {
        this._object?.unexport();
        this._object = null;
    }

    FocusedFrame() {
        const window = global.display.focus_window;
        const {width, height} = global.stage;
        if (!window)
            return [false, 0, 0, 0, 0, width, height];
        const frame = window.get_frame_rect();
        return [true, frame.x, frame.y, frame.width, frame.height, width, height];
    }
}

function init() {
    return new Windows();
}
