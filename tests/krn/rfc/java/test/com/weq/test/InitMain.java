package com.weq.test;

import com.weq.conn.rfc.driver.CpicDriver;

/** A process of its own for the trace tests: loads the library and calls INIT twice. */
public final class InitMain {
  private InitMain() {}

  public static void main(String[] args) {
    Lib.load();
    CpicDriver d = new CpicDriver();
    int first = d.INIT();
    int second = d.INIT();
    System.out.println("INIT " + first + " " + second);
  }
}
