package com.quorvane.player.platform.impl.ui.view.win;

/**
 * A web page shown by the system's WebBrowser control in a child window of a
 * native window. A handle comes from {@link #nCreateControl}; one thread calls
 * {@link #nControlRun}, which blocks for the life of the control, while any
 * other thread moves, sizes, shows, closes or queries it.
 */
public final class WinBrowser {
    private WinBrowser() {
    }

    /** A new control that opens {@code url} ("about:blank" when null, nothing when empty). */
    public static native long nCreateControl(String url);

    /**
     * Creates the control as a child of {@code parentHwnd} and runs its message loop
     * until it is closed: 0 on a normal end, 4294967295, 4294967294 or 4294967293 when
     * it could not start (see {@link #nGetLastError}), -1 for a zero handle.
     */
    public static native long nControlRun(long handle, long parentHwnd);

    /** Ends the loop of {@link #nControlRun}, or makes a later run return at once. */
    public static native boolean nCloseControl(long handle);

    /** Frees the control; false while {@link #nControlRun} is running. */
    public static native boolean nDeleteControl(long handle);

    /** The text of the last failure, empty when there was none. */
    public static native String nGetLastError(long handle);

    public static native boolean nSetBounds(long handle, int x, int y, int width, int height);

    public static native boolean nSetPos(long handle, int x, int y);

    public static native boolean nSetSize(long handle, int width, int height);

    public static native boolean nShow(long handle, boolean visible);
}
