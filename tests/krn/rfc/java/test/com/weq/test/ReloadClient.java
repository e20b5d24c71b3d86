package com.weq.test;

import com.weq.conn.rfc.driver.CpicDriver;
import java.util.Arrays;
import java.util.Random;

/** Runs inside a class loader of its own: loads the library, INIT, one conversion, one round trip. */
public final class ReloadClient {
  private ReloadClient() {}

  public static Integer run(String lib) {
    System.load(lib);
    int rc = new CpicDriver().INIT();
    if (rc != 0) return rc;
    // The converter, finished by the first loader's unload, starts again.
    byte[] utf8 = Cv.xToX(Cv.init("1100", "4110"), new byte[] {(byte) 0xE9});
    if (!Arrays.equals(new byte[] {(byte) 0xC3, (byte) 0xA9}, utf8)) return -2000;
    Random g = new Random(1);
    byte[] data = Streams.text(50000);
    byte[] s = Streams.compress(data, 0, g, 4128, 2080);
    return Arrays.equals(data, Streams.decompress(s, g, 2080, 4128)) ? 0 : -1000;
  }
}
