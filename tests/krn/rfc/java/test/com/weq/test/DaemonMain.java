package com.weq.test;

import com.weq.conn.rfc.driver.CpicDriver;
import java.util.Arrays;

/**
 * A JVM of its own whose daemon threads block in the natives, one listening for a registration
 * and one reading a conversation that never answers; main ends once the peer saw both wait.
 */
public final class DaemonMain {
  private DaemonMain() {}

  public static void main(String[] args) throws Exception {
    Lib.load();
    CpicDriver d = new CpicDriver();
    if (d.INIT() != 0) throw new IllegalStateException("INIT");
    GwPeer peer = new GwPeer();
    int[] h = {-1};
    if (d.nativeWEQ_CMREGTP3("SERVER", "127.0.0.1", peer.serv, h, null, null, (byte) 0, false) != 0) {
      throw new IllegalStateException("register");
    }
    byte[] none = new byte[8];
    d.nativeWEQ_CMACCPTP3(none, h[0], -2);
    Thread listener = new Thread(() -> d.nativeWEQ_CMLISTEN(600_000));
    listener.setDaemon(true);
    listener.start();
    byte[] id = new byte[8];
    Arrays.fill(id, (byte) ' ');
    if (d.nativeWEQ_CMINIT3(id, "D", "lu", "echo", "127.0.0.1", peer.serv, "I", 0, 0, 0, null, null, null) != 0
        || d.nativeCMALLC(id) != 0) {
      throw new IllegalStateException("open");
    }
    peer.control("rule 9 next silent");
    Thread reader = new Thread(() -> d.nativeCpic_coxread(id, 0, new byte[100], new int[3]));
    reader.setDaemon(true);
    reader.start();
    if (peer.await("EVENT", "REGWAIT", null, null, 5000) == null || peer.request(9) == null) {
      throw new IllegalStateException("not waiting");
    }
    // The listen and the read are under way in the layer: the threads stay in the natives.
    long end = System.nanoTime() + 5_000_000_000L;
    while ((listener.getState() != Thread.State.RUNNABLE || reader.getState() != Thread.State.RUNNABLE)
        && System.nanoTime() < end) {
      Thread.sleep(1);
    }
    System.out.println("both blocked");
  }
}
