package com.quorvane.player.platform.impl.ui.view.win.d3d;

/** Captures and verifies the scene's Direct3D 9Ex device on the render thread. */
public final class D3DInitNGNode {
    private D3DInitNGNode() {
    }

    /**
     * The device of the rendering context {@code d3dContext} once it passed
     * verification, else 0 (with a pending exception when the context failed).
     */
    public static native long _nInitRenderThread(long hwnd, long d3dContext);
}
