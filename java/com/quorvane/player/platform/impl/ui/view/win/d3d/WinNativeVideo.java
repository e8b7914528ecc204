package com.quorvane.player.platform.impl.ui.view.win.d3d;

/**
 * Video played by a separate video server process and drawn from its shared
 * Direct3D textures. A player is an opaque handle from {@link #_nCreate}, 0
 * meaning none; every method accepts 0. One thread creates the player, runs
 * {@link #_nRunMessageLoop} (which blocks for the player's life, and on which
 * all callbacks arrive) and deletes it; any other thread sends commands and
 * queries; the render thread calls the two frame methods.
 *
 * The callback object may be of any class with the instance methods
 * {@code void onError(int code, long param1, long param2, String text)},
 * {@code void onEvent(int code, long value)}, {@code void onReady()} and
 * {@code void onDestroy()}.
 */
public final class WinNativeVideo {
    private WinNativeVideo() {
    }

    /** A new player for {@code mediaFile} in a client window under {@code parentHwnd}, or 0. */
    public static native long _nCreate(long parentHwnd, String mediaFile, float startPosition, float endPosition,
            float soundVolume, boolean isLoopEnabled, Object callback, boolean clientStubMode,
            boolean serverStubMode);

    /** Starts the server and pumps messages until the player is closed: 0, -2, -3, or -1000 for no player. */
    public static native int _nRunMessageLoop(long player);

    public static native boolean _nClose(long player);

    /** Frees the player after {@link #_nRunMessageLoop} returned; always true. */
    public static native boolean _nDelete(long player);

    public static native boolean _nPlay(long player);

    public static native boolean _nResume(long player);

    public static native boolean _nPause(long player);

    public static native boolean _nSetPosition(long player, double seconds);

    public static native double _nGetPosition(long player);

    public static native double _nGetDuration(long player);

    public static native boolean _nSetLoopEnabled(long player, boolean enabled);

    public static native boolean _nGetLoopEnabled(long player);

    /** Not supported: the sound follows the volume given at creation. */
    public static native boolean _nSetMute(long player, boolean mute);

    public static native boolean _nGetMute(long player);

    /** Not supported: the sound follows the volume given at creation. */
    public static native boolean _nSetSoundVolume(long player, float volume);

    public static native float _nGetSoundVolume(long player);

    public static native boolean _nHintRenderSize(long player, long renderSize);

    public static native String _nGetLastErrorString(long player);

    /** Releases the library's stub texture when video is no longer needed. */
    public static native void _nShutdownCleanup();

    /**
     * Fills {width, height, format, shared handle} of the current frame into
     * {@code frameData}: 0 usable, 19 not usable, other values request failures.
     */
    public static native int _nGetFrameTexture(long player, long[] frameData);

    /**
     * Opens the frame texture of {@code frameData} on the render device and binds
     * it to {@code stage}: 0 bound, 18 nearly transparent, 19 no usable frame,
     * negative on failure.
     */
    public static native int _nApplyFrameTexture(long player, long d3dContext, long device, int stage,
            int renderWidth, int renderHeight, float opacity, long[] frameData);
}
