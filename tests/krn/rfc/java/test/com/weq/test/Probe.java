package com.weq.test;

/** Natives that only the test copy of the library exports. */
public final class Probe {
  private Probe() {}

  /** Live per-thread records: thread-library tables, error information, NI, CPI-C, converter. */
  public static native void liveCounts(int[] out);

  /** Makes the calling thread hold a record in each layer that keeps one. */
  public static native void touchLayers();

  /** Stacks n operating-system errors on the calling thread's converter error stack. */
  public static native void pushOsErrors(int n);

  /** The frontend launcher's wait for a reply; 0 restores its 180 seconds. */
  public static native void setGuiWaitMs(long ms);

  /**
   * The logon-group layer under the LG natives: 0 the real one; 1 the real one, LgCallDone
   * counted; 2 a stand-in whose every lookup answers 10.0.0.1 port 3300 with the given SNC name,
   * LgCallDone counted. Each call starts the count at 0.
   */
  public static native void lgSeam(int mode, String sncName);

  /** LgCallDone calls counted since lgSeam. */
  public static native int lgCallDones();

  public static int[] counts() {
    int[] c = new int[5];
    liveCounts(c);
    return c;
  }
}
