package com.weq.test;

/** Natives that only the test copy of the library exports. */
public final class Probe {
  private Probe() {}

  /** Live per-thread records: thread-library tables, error information, NI, CPI-C, converter. */
  public static native void liveCounts(int[] out);

  /** Makes the calling thread hold a record in each layer that keeps one. */
  public static native void touchLayers();

  public static int[] counts() {
    int[] c = new int[5];
    liveCounts(c);
    return c;
  }
}
