package com.quorvane.player.platform.util.win;

/**
 * Operating-system services of the native library {@code qvfx} on Windows.
 */
public final class WinUtil {
    private WinUtil() {
    }

    /** Appends {@code path} to PATH as given (pass the leading ';'); true when PATH was changed. */
    public static native boolean nAddEnvironmentPath(String path);

    /** Milliseconds since the user's last input, or -1. */
    public static native long nGetIdleTime();

    /** The command line of this process, quotes and arguments included. */
    public static native String nGetProcessCommandLine();

    /** The working-set size of this process in bytes. */
    public static native long nGetProcessMemory();

    /**
     * Starts a program and optionally waits for its first input idle and for its end
     * (a negative timeout waits without limit). Returns its exit code (259 while it
     * runs), a Win32 error code when it could not be started, -1, or 0 for a command
     * line of 2048 characters or more.
     */
    public static native int nStartProcess(String commandLine, boolean waitInputIdle, long inputIdleTimeoutMs,
                                           boolean waitExit, long exitTimeoutMs);
}
