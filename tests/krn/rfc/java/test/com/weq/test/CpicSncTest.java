package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * Protected conversations through the CpicDriver natives over the test GSS-API library
 * (TOV_FAKEGSS): a registered server and a client of ours in this JVM, relayed by gw_peer. SNC
 * mode 1 protects, mode 0 does not; the partners' names and the ACL key as Java receives them.
 */
class CpicSncTest {
  static final String HOST = "127.0.0.1";
  static final String LIB = System.getenv("TOV_FAKEGSS");
  static CpicDriver d;
  GwPeer peer;

  @BeforeAll
  static void load() {
    Lib.load();
    d = new CpicDriver();
    assertEquals(0, d.INIT());
    assertEquals(0, Probe.fakeGss(LIB));
  }

  @AfterEach
  void stopPeer() throws Exception {
    assertEquals(0, peer.bad(), "requests the peer found wrong");
    peer.close();
  }

  static byte[] blankId() {
    byte[] b = new byte[8];
    Arrays.fill(b, (byte) ' ');
    return b;
  }

  /** The data of a receive of up to 32000 bytes, its rc first. */
  static String read(byte[] id) {
    byte[] buf = new byte[32000];
    int[] res = {0, 0, 0};
    int rc = d.nativeCpic_coxread(id, 0, buf, res);
    return rc + " " + new String(buf, 0, res[2], StandardCharsets.ISO_8859_1);
  }

  /** What one protected road showed: the server's view and the client's. */
  static final class Road {
    String got;
    String partner;
    byte[] key;
    String clientSaw;
  }

  /**
   * One protected conversation through the natives: a server registered with SNC on (its own
   * name the default) accepts; a client of ours initialises with SNC mode 1 towards partner at
   * qop, sends ask and reads the reply. The server's partner name and the ACL key into arrays
   * that fit, fit exactly, fall one byte short and are NULL.
   */
  static Road road(GwPeer peer, String lib, String partner, int qop, String ask) throws Exception {
    Road out = new Road();
    int[] h = {-1};
    assertEquals(0, d.nativeWEQ_CMREGTP3("SERVER", HOST, peer.serv, h, "", lib, (byte) 0, true), d.WEQ_CMPERR());
    assertNotNull(peer.await("EVENT", "REGISTER", "tp", "SERVER", 3000));
    assertEquals(0, d.nativeWEQ_CMACCPTP3(blankId(), h[0], -2));
    assertNotNull(peer.await("EVENT", "REGWAIT", null, null, 3000));
    AtomicReference<String> clientSaw = new AtomicReference<>("nothing");
    Thread client = new Thread(() -> {
      byte[] c = blankId();
      int rc = d.nativeWEQ_CMINIT3(c, "D", "lu", "SERVER", HOST, peer.serv, "I", 0, 1, qop, "", partner, lib);
      if (rc == 0) rc = d.nativeCMALLC(c);
      if (rc == 0) rc = d.nativeCMSEND(c, ask.getBytes(StandardCharsets.ISO_8859_1), ask.length());
      if (rc != 0) {
        clientSaw.set("failed " + rc + " " + d.WEQ_CMPERR());
        return;
      }
      clientSaw.set(read(c) + " mode " + d.nativeSncMode(c) + " partner " + d.nativeSncPartnerName(c));
      d.nativeCMDEAL(c);
    });
    client.start();
    int[] ready = {-1};
    long end = System.nanoTime() + 10_000_000_000L;
    while (System.nanoTime() < end) {
      if (d.nativeWEQ_CMGETNEXTHDL(ready) == 0 && ready[0] != -1) break;
      d.nativeWEQ_CMLISTEN(500);
    }
    assertEquals(h[0], ready[0]);
    byte[] acc = blankId();
    assertEquals(0, d.nativeWEQ_CMACCPTP3(acc, h[0], 5), d.WEQ_CMPERR());
    assertEquals(1, d.nativeSncMode(acc));
    StringBuilder got = new StringBuilder();
    while (got.length() < ask.length()) {
      String r = read(acc);
      assertEquals("0 ", r.substring(0, 2), r.length() > 80 ? r.substring(0, 80) : r);
      got.append(r.substring(2));
    }
    out.got = got.toString();
    out.partner = d.nativeSncPartnerName(acc);
    byte[] big = new byte[512];
    int n = d.nativeSncPartnerAclKey(acc, big);
    assertTrue(n > 0, "key length " + n);
    out.key = Arrays.copyOf(big, n);
    byte[] exact = new byte[n];
    assertEquals(n, d.nativeSncPartnerAclKey(acc, exact));
    assertArrayEquals(out.key, exact);
    byte[] shorter = new byte[n - 1];
    Arrays.fill(shorter, (byte) 0x5A);
    assertEquals(-1, d.nativeSncPartnerAclKey(acc, shorter));
    assertEquals(-1, d.nativeSncPartnerAclKey(acc, null));
    assertEquals(0, d.nativeCMSEND(acc, "you".getBytes(StandardCharsets.US_ASCII), 3));
    // The client's data and its end may come apart: empty receives before the end.
    String last = read(acc);
    for (int i = 0; i < 3 && last.equals("0 "); i++) last = read(acc);
    assertEquals("18 ", last);
    client.join(10_000);
    out.clientSaw = clientSaw.get();
    assertEquals(0, d.nativeWEQ_CMUNREGTP3(h[0]));
    for (int i = 0; i < 3; i++) d.nativeWEQ_CMLISTEN(20);
    return out;
  }

  @Test
  void protectedRoadAndThePartnersFacts() throws Exception {
    peer = new GwPeer();
    String ask = "x".repeat(12000) + "who";
    Road r = road(peer, LIB, "p:host/server", 0, ask);
    assertEquals(ask, r.got);
    assertEquals("p:user@TEST.REALM", r.partner);
    String tail = new String(r.key, r.key.length - 15, 15, StandardCharsets.US_ASCII);
    assertEquals("user@TEST.REALM", tail, "the exported name ends the key");
    assertEquals("0 you mode 1 partner p:host/server@TEST.REALM", r.clientSaw);
  }

  @Test
  void plainConversationHasNoPartnerFacts() throws Exception {
    peer = new GwPeer();
    byte[] c = blankId();
    assertEquals(0, d.nativeWEQ_CMINIT3(c, "D", "lu", "echo", HOST, peer.serv, "I", 0, 0, 3, "p:own",
        "p:host/server", LIB));
    assertEquals(0, Integer.parseInt(peer.request(1).get("info2")) & 0x20, "SNC asked for");
    assertEquals(0, d.nativeSncMode(c));
    assertNull(d.nativeSncPartnerName(c));
    assertEquals(-1, d.nativeSncPartnerAclKey(c, new byte[64]));
    assertEquals(0, d.nativeCMDEAL(c));
  }
}
