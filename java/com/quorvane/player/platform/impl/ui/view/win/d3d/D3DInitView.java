package com.quorvane.player.platform.impl.ui.view.win.d3d;

/** Raises the priority of the thread that pumps the scene's window. */
public final class D3DInitView {
    private D3DInitView() {
    }

    /** {@code hwnd}, or 0 when it is not a window. */
    public static native long _nInitMessageThread(long hwnd);
}
