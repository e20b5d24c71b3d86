package com.weq.test;

/** Loads the library under test once per class loader: the product or the probe copy. */
public final class Lib {
  private static boolean loaded;

  private Lib() {}

  public static synchronized void load() {
    if (!loaded) {
      System.loadLibrary(System.getProperty("tov.lib", "tovnative"));
      loaded = true;
    }
  }
}
