package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.UUID;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/** The CpicDriver natives from Java against gw_peer (TOV_GW_PEER) started by each test. */
class CpicTest {
  static final String HOST = "127.0.0.1";
  static final int DEALLOCATED_NORMAL = 18;
  static final int PARAMETER_ERROR = 19;
  static CpicDriver d;
  GwPeer peer;

  @BeforeAll
  static void load() {
    Lib.load();
    d = new CpicDriver();
    assertEquals(0, d.INIT());
  }

  @AfterEach
  void stopPeer() throws Exception {
    if (peer == null) return;
    assertEquals(0, peer.bad(), "requests the peer found wrong");
    peer.close();
  }

  static byte[] blankId() {
    byte[] b = new byte[8];
    Arrays.fill(b, (byte) ' ');
    return b;
  }

  static byte[] pattern(int n, int seed) {
    byte[] b = new byte[n];
    for (int i = 0; i < n; i++) b[i] = (byte) (seed + i * 31 + (i >> 8));
    return b;
  }

  int init(byte[] id, String tp) {
    return d.nativeWEQ_CMINIT3(id, "DEST", "partner", tp, HOST, peer.serv, "I", 0, 0, 0, null, null, null);
  }

  int open(byte[] id, String tp) {
    int rc = init(id, tp);
    return rc != 0 ? rc : d.nativeCMALLC(id);
  }

  /** A receive of up to 32000 bytes: the rc, the result array and the bytes received. */
  static final class Rcv {
    int rc;
    int[] res = {-7, -7, -7};
    byte[] buf = new byte[32000];

    byte[] data() {
      return Arrays.copyOf(buf, res[2]);
    }
  }

  static Rcv coxread(byte[] id, int timeout) {
    Rcv r = new Rcv();
    r.rc = d.nativeCpic_coxread(id, timeout, r.buf, r.res);
    return r;
  }

  // --- Client road ------------------------------------------------------------------------

  @Test
  void clientRoadThroughTheEcho() throws Exception {
    peer = new GwPeer();
    byte[] id = blankId();
    assertEquals(0, open(id, "echo"), d.WEQ_CMPERR());
    assertEquals("ok", peer.request(1).get("check"));
    for (int n : new int[] {0, 1, 32000}) {
      byte[] data = pattern(n, n);
      assertEquals(0, d.nativeCMSEND(id, data, n));
      Rcv r = coxread(id, 0);
      assertEquals(0, r.rc);
      assertArrayEquals(new int[] {2, 1, n}, r.res, "data received, status, length of " + n);
      assertArrayEquals(data, r.data());
    }
    assertEquals(0, d.nativeCMDEAL(id));
    assertEquals("ok", peer.request(11).get("check"));
  }

  /** The partner LU name goes to the gateway: its first 8 characters and length, the whole name in the block. */
  @Test
  void partnerLuName() throws Exception {
    peer = new GwPeer();
    byte[] id = blankId();
    assertEquals(0, open(id, "echo"), d.WEQ_CMPERR());
    assertEquals(0, d.nativeCMSPLN(id, "PARTNERLU123"), d.WEQ_CMPERR());
    GwPeer.Line l = peer.request(15);
    assertNotNull(l);
    assertEquals("ok", l.get("check"));
    assertEquals(hex("PARTNERL") + "0000000c", l.get("area").substring(0, 24));
    assertEquals(hex(String.format("%-128s", "PARTNERLU123")) + "00".repeat(16), l.get("p"));
    assertEquals(0, d.nativeCMDEAL(id));
    assertNotNull(peer.request(11));
  }

  static String hex(String ascii) {
    StringBuilder b = new StringBuilder();
    for (byte c : ascii.getBytes(StandardCharsets.US_ASCII)) b.append(String.format("%02x", c));
    return b.toString();
  }

  /**
   * The table has CPIC_MAX_CONV slots: a smaller size leaves it as it is, a larger one makes room
   * for as many more conversations.
   */
  @Test
  void maxConvGrowsTheTable() throws Exception {
    peer = new GwPeer();
    List<byte[]> held = new ArrayList<>();
    try {
      int slots = Integer.parseInt(System.getenv("CPIC_MAX_CONV"));
      for (int i = 0; i < slots; i++) {
        held.add(blankId());
        assertEquals(0, init(held.get(i), "echo"), d.WEQ_CMPERR());
      }
      String full = "max no of " + slots + " conversations exceeded";
      assertEquals(20, init(blankId(), "echo"));
      assertTrue(d.WEQ_CMPERR().contains(full), d.WEQ_CMPERR());
      assertEquals(0, d.nativeWEQ_CMMAXCONV(slots - 1));
      assertEquals(20, init(blankId(), "echo"));
      assertTrue(d.WEQ_CMPERR().contains(full), d.WEQ_CMPERR());
      assertEquals(0, d.nativeWEQ_CMMAXCONV(slots + 2));
      for (int i = 0; i < 2; i++) {
        held.add(blankId());
        assertEquals(0, init(held.get(held.size() - 1), "echo"), d.WEQ_CMPERR());
      }
      assertEquals(20, init(blankId(), "echo"));
      assertTrue(d.WEQ_CMPERR().contains("max no of " + (slots + 2) + " conversations exceeded"), d.WEQ_CMPERR());
    } finally {
      for (byte[] id : held) d.nativeCMDEAL(id);
    }
    assertEquals(held.size(), peer.count(11));
  }

  /** The longest argument that fits converts; one more character fails before any connection. */
  @Test
  void stringCapacities() throws Exception {
    peer = new GwPeer();
    // {argument, longest that converts, the layer's answer to it}
    int[][] cases = {{0, 127, 0}, {1, 1024, 0}, {2, 1024, 0}, {4, 20, 19}, {4, 32, 19}, {4, 19, 20}};
    int connects = 0;
    for (int[] c : cases) {
      for (int n = c[1]; n <= c[1] + 1; n++) {
        if (c[0] == 4 && c[1] < 32 && n > c[1]) continue;
        String[] a = {"DEST", "partner", "echo", HOST, peer.serv};
        a[c[0]] = "9".repeat(n);
        byte[] id = blankId();
        int rc = d.nativeWEQ_CMINIT3(id, a[0], a[1], a[2], a[3], a[4], "I", 0, 0, 0, null, null, null);
        String what = "argument " + c[0] + " of " + n;
        assertEquals(n > c[1] ? 1 : c[2], rc, what);
        if (rc == 0) {
          connects++;
          assertEquals("ok", peer.request(1).get("check"), what);
          assertEquals(0, d.nativeCMDEAL(id));
        } else {
          assertArrayEquals(blankId(), id, what);
        }
      }
    }
    assertEquals(connects, peer.count(1));
  }

  /** A refusal's error record reaches WEQ_CMPERR whole, characters outside the BMP included. */
  @Test
  void peerErrorRecordWhole() throws Exception {
    peer = new GwPeer();
    String text = "\u00c4\u20ac\ud83d\ude00";
    StringBuilder esc = new StringBuilder();
    for (byte b : text.getBytes(StandardCharsets.UTF_8)) esc.append(String.format("%%%02X", b & 0xFF));
    peer.control("rule 1 next hdr appcrc=17 weqrc=726 errtext=" + esc);
    assertEquals(17, init(blankId(), "echo"));
    String err = d.WEQ_CMPERR();
    assertNotNull(err);
    assertTrue(err.contains(text), err);
  }

  /**
   * Timeout 1 gives -1 at once with the result untouched; the answer the peer sends 300 ms later
   * reaches the blocking receive that follows.
   */
  @Test
  void timedOutReadThenTheLateAnswer() throws Exception {
    peer = new GwPeer();
    byte[] id = blankId();
    assertEquals(0, open(id, "echo"));
    assertEquals(0, d.nativeCMSEND(id, new byte[] {1}, 1));
    peer.control("rule 9 next hdr delay=300 results=2,5,1,0 data=68656c6c6f");
    long t0 = System.nanoTime();
    Rcv r = coxread(id, 1);
    assertEquals(-1, r.rc);
    assertArrayEquals(new int[] {-7, -7, -7}, r.res);
    assertTrue(System.nanoTime() - t0 < 200_000_000L, "a read with timeout 1 waits");
    byte[] buf = new byte[100];
    int[] res = {-7, -7, -7};
    assertEquals(0, d.nativeRflushCMRCV(id, buf, 100, res));
    assertTrue(System.nanoTime() - t0 >= 250_000_000L, "the answer came before it was sent: " + (System.nanoTime() - t0) / 1000000 + " ms " + Arrays.toString(res) + " " + new String(buf, 0, Math.max(0, Math.min(100, res[2])), StandardCharsets.ISO_8859_1));
    assertEquals(5, res[2]);
    assertEquals("hello", new String(buf, 0, 5, StandardCharsets.US_ASCII));
    d.nativeCoxabort(id, 0, false, false);
    assertNotNull(peer.request(11));
  }

  /** Hard and soft cancel after a timed-out read give 0; the next read sends a new request. */
  @Test
  void cancelAfterATimedOutRead() throws Exception {
    for (int type = 0; type <= 1; type++) {
      peer = new GwPeer();
      byte[] id = blankId();
      assertEquals(0, open(id, "echo"));
      assertEquals(0, d.nativeCMSEND(id, new byte[] {7, 8}, 2));
      peer.control("rule 9 next silent");
      assertEquals(-1, coxread(id, 1).rc);
      assertEquals(0, d.nativeWEQ_CMCANCEL(id, type), d.WEQ_CMPERR());
      assertEquals(type == 0 ? "4" : "8", peer.request(213).get("info3"));
      Rcv r = coxread(id, 0);
      assertEquals(0, r.rc);
      assertEquals(2, peer.count(9));
      assertEquals(0, d.nativeCMDEAL(id));
      assertEquals(0, peer.bad());
      peer.close();
      peer = null;
    }
  }

  // --- Server road, relayed by the peer ----------------------------------------------------

  /** A client conversation of ours to the registered TP on a thread of its own. */
  Thread client(String msg, AtomicReference<String> reply) {
    Thread t = new Thread(() -> {
      byte[] c = blankId();
      if (open(c, "SERVER") != 0 || d.nativeCMSEND(c, msg.getBytes(StandardCharsets.US_ASCII), msg.length()) != 0) {
        reply.set("open or send failed: " + d.WEQ_CMPERR());
        return;
      }
      Rcv r = coxread(c, 0);
      reply.set(r.rc + " " + new String(r.data(), StandardCharsets.US_ASCII));
      d.nativeCMDEAL(c);
    });
    t.start();
    return t;
  }

  /** The server's side: receive the message, answer, receive the end. */
  static void serve(byte[] acc) {
    Rcv r = coxread(acc, 0);
    assertEquals(0, r.rc, d.WEQ_CMPERR());
    assertEquals("hello", new String(r.data(), StandardCharsets.US_ASCII));
    if (r.res[1] == 0) {
      // Unbuffered, the data and the turn travel apart: the turn comes with the next receive.
      r = coxread(acc, 0);
      assertEquals(0, r.rc, d.WEQ_CMPERR());
      assertEquals(0, r.res[2]);
    }
    assertEquals(1, r.res[1], "send received");
    assertEquals(0, d.nativeCMSEND(acc, "world".getBytes(StandardCharsets.US_ASCII), 5));
    assertEquals(DEALLOCATED_NORMAL, coxread(acc, 0).rc);
  }

  @Test
  void serverRoadVersion2() throws Exception {
    peer = new GwPeer();
    int[] h = {-1};
    assertEquals(0, d.nativeWEQ_CMREGTP2("SERVER", HOST, peer.serv, h, null, null, (byte) 0, false));
    assertNotNull(peer.await("EVENT", "REGISTER", "tp", "SERVER", 3000));
    AtomicReference<String> reply = new AtomicReference<>();
    Thread t = client("hello", reply);
    byte[] acc = blankId();
    assertEquals(0, d.nativeWEQ_CMACCPTP(acc, h[0], 5), d.WEQ_CMPERR());
    assertNotEquals(new String(blankId(), StandardCharsets.US_ASCII), new String(acc, StandardCharsets.US_ASCII));
    serve(acc);
    t.join(10_000);
    assertEquals("0 world", reply.get());
    assertNotNull(peer.request(210));
    // The counts into arrays of 2, 6 (tail kept) and 0 elements.
    int[] two = {-1, -1};
    int[] six = {-1, -1, -1, -1, 9, 9};
    for (int[] a : new int[][] {two, six, new int[0]}) {
      assertEquals(0, d.nativeWEQ_CMNOREGTP("SERVER", HOST, peer.serv, a));
    }
    assertArrayEquals(new int[] {1, two[1]}, two);
    assertArrayEquals(new int[] {1, six[1], six[2], six[3], 9, 9}, six);
    assertEquals(1, six[1] + six[2] + six[3]);
    d.nativeCoxclose(blankId(), h[0], true, true);
    assertNotNull(peer.request(208));
  }

  /** The listener's part: the next ready handle within ms (the others' requests carried out), -1 when none. */
  static int nextReady(long ms) {
    int[] ready = {-1};
    long end = System.nanoTime() + ms * 1_000_000L;
    while (System.nanoTime() < end) {
      if (d.nativeWEQ_CMGETNEXTHDL(ready) == 0 && ready[0] != -1) return ready[0];
      d.nativeWEQ_CMLISTEN(100);
    }
    return -1;
  }

  /** A version-3 registration waiting in the select set, its handle. */
  int registerAndWait() throws Exception {
    int[] h = {-1};
    assertEquals(0, d.nativeWEQ_CMREGTP3("SERVER", HOST, peer.serv, h, null, null, (byte) 0, false));
    assertNotNull(peer.await("EVENT", "REGISTER", "tp", "SERVER", 3000));
    byte[] none = blankId();
    assertEquals(0, d.nativeWEQ_CMACCPTP3(none, h[0], -2));
    assertArrayEquals(blankId(), none);
    assertNotNull(peer.await("EVENT", "REGWAIT", null, null, 3000));
    return h[0];
  }

  /**
   * WEQ_CMLISTEN3 on an accepted conversation sends its receive request and returns; the answer
   * wakes the listener, and the receive that follows reads it.
   */
  @Test
  void listen3ThenTheListenerThenTheReceive() throws Exception {
    peer = new GwPeer();
    int h = registerAndWait();
    AtomicReference<String> reply = new AtomicReference<>();
    Thread t = client("hello", reply);
    assertEquals(h, nextReady(5000));
    byte[] acc = blankId();
    assertEquals(0, d.nativeWEQ_CMACCPTP3(acc, h, 5), d.WEQ_CMPERR());
    Rcv r = coxread(acc, 0);
    assertEquals("hello", new String(r.data(), StandardCharsets.US_ASCII));
    if (r.res[1] == 0) assertEquals(0, coxread(acc, 0).rc);
    assertEquals(0, d.nativeCMSEND(acc, "world".getBytes(StandardCharsets.US_ASCII), 5));
    assertEquals(0, d.nativeWEQ_CMLISTEN3(acc), d.WEQ_CMPERR());
    t.join(10_000);
    assertEquals("0 world", reply.get());
    // The gateway hands the partner's end only to a receive request: the listen's.
    assertEquals(h, nextReady(5000), "the partner's end did not wake the listener");
    assertEquals(DEALLOCATED_NORMAL, coxread(acc, 0).rc);
    assertEquals(0, d.nativeWEQ_CMUNREGTP3(h));
    assertNotNull(peer.request(208));
    for (int i = 0; i < 3; i++) d.nativeWEQ_CMLISTEN(20);
  }

  @Test
  void serverRoadVersion3() throws Exception {
    peer = new GwPeer();
    // Ready to accept: the registration waits in the select set.
    int[] h = {registerAndWait()};
    AtomicReference<String> reply = new AtomicReference<>();
    Thread t = client("hello", reply);
    assertEquals(h[0], nextReady(5000));
    // A failed accept keeps the id's bytes.
    byte[] kept = "keeping!".getBytes(StandardCharsets.US_ASCII);
    assertNotEquals(0, d.nativeWEQ_CMACCPTP3(kept, h[0] + 1000, 5));
    assertArrayEquals("keeping!".getBytes(StandardCharsets.US_ASCII), kept);
    byte[] acc = blankId();
    assertEquals(0, d.nativeWEQ_CMACCPTP3(acc, h[0], 5), d.WEQ_CMPERR());
    serve(acc);
    t.join(10_000);
    assertEquals("0 world", reply.get());
    assertNotNull(peer.request(210));
    assertEquals(0, d.nativeWEQ_CMUNREGTP3(h[0]));
    assertNotNull(peer.request(208));
    // The listener carries out what is left to do.
    for (int i = 0; i < 3; i++) d.nativeWEQ_CMLISTEN(20);
  }

  /**
   * nativeCoxclose and nativeCoxabort for each flag pair: the peer sees the deallocate (11)
   * unless it is skipped and the unregister (208) when asked; with a NULL id close does nothing
   * and abort still unregisters.
   */
  @Test
  void closeAndAbortFlags() throws Exception {
    peer = new GwPeer();
    for (boolean abort : new boolean[] {false, true}) {
      for (int pair = 0; pair < 5; pair++) {
        boolean skip = (pair & 1) != 0;
        boolean unreg = (pair & 2) != 0;
        boolean nullId = pair == 4;
        String what = (abort ? "abort" : "close") + " skip=" + skip + " unregister=" + unreg + " null=" + nullId;
        byte[] id = blankId();
        assertEquals(0, open(id, "echo"), what);
        peer.request(5);
        int[] h = {-1};
        assertEquals(0, d.nativeWEQ_CMREGTP2("SERVER", HOST, peer.serv, h, null, null, (byte) 0, false));
        assertNotNull(peer.await("EVENT", "REGISTER", null, null, 3000));
        if (nullId) unreg = true;
        if (abort) {
          d.nativeCoxabort(nullId ? null : id, h[0], skip, unreg);
        } else {
          d.nativeCoxclose(nullId ? null : id, h[0], skip, unreg);
        }
        boolean dealt = !skip && !nullId;
        boolean unregistered = unreg && (abort || !nullId);
        assertEquals(dealt, peer.await("IN", "APPC", "req", "11", dealt ? 3000 : 200) != null, what);
        assertEquals(unregistered, peer.await("IN", "APPC", "req", "208", unregistered ? 3000 : 200) != null, what);
        if (!dealt) {
          assertEquals(0, d.nativeCMDEAL(id), what);
          assertNotNull(peer.request(11));
        }
        if (!unregistered) {
          d.nativeCoxabort(null, h[0], true, true);
          assertNotNull(peer.request(208));
        }
      }
    }
  }

  // --- The blank id ------------------------------------------------------------------------
  //
  // An accept that does not wait hands out eight blanks; they name no conversation, also not one
  // that another thread is setting up.

  /**
   * While an initialise on another thread waits for the gateway's answer, calls runs natives with
   * the blank id; the initialise then completes, and its conversation is whole.
   */
  void whileAnInitialiseWaits(Runnable calls) throws Exception {
    peer = new GwPeer();
    peer.control("switch holdinit=1");
    byte[] id = blankId();
    int[] rc = {-99};
    Thread a = new Thread(() -> rc[0] = init(id, "echo"));
    a.start();
    try {
      assertNotNull(peer.await("EVENT", "HELD", null, null, 3000), "the initialise did not come");
      calls.run();
    } finally {
      peer.control("release");
      a.join(10_000);
    }
    assertEquals(0, rc[0]);
    assertNotEquals(new String(blankId(), StandardCharsets.US_ASCII), new String(id, StandardCharsets.US_ASCII));
    assertEquals(0, d.nativeCMALLC(id), d.WEQ_CMPERR());
    assertEquals(0, d.nativeCMDEAL(id));
    // The first deallocate the peer saw is this one.
    assertEquals(new String(id, StandardCharsets.US_ASCII), peer.request(11).get("convid"));
  }

  @Test
  void blankIdDeallocateWhileAnInitialiseWaits() throws Exception {
    whileAnInitialiseWaits(() -> assertEquals(0, d.nativeCMDEAL(blankId())));
  }

  @Test
  void blankIdReceiveWhileAnInitialiseWaits() throws Exception {
    whileAnInitialiseWaits(() -> {
      assertEquals(PARAMETER_ERROR, coxread(blankId(), 0).rc);
      assertEquals(PARAMETER_ERROR, d.nativeRflushCMRCV(blankId(), new byte[10], 10, new int[3]));
    });
  }

  /** One thread opens and deallocates conversations in a row, another deallocates the blank id. */
  @Test
  void blankIdDeallocatesBesideConversationsInARow() throws Exception {
    peer = new GwPeer("--quiet");
    AtomicBoolean done = new AtomicBoolean();
    AtomicInteger calls = new AtomicInteger();
    AtomicInteger wrong = new AtomicInteger();
    Thread b = new Thread(() -> {
      byte[] blank = blankId();
      while (!done.get()) {
        if (d.nativeCMDEAL(blank) != 0) wrong.incrementAndGet();
        calls.incrementAndGet();
      }
    });
    b.start();
    try {
      long end = System.nanoTime() + 20_000_000_000L;
      for (int i = 0; i < 50 && System.nanoTime() < end; i++) {
        byte[] id = blankId();
        assertEquals(0, open(id, "echo"), "round " + i);
        assertEquals(0, d.nativeCMDEAL(id), "round " + i);
      }
    } finally {
      done.set(true);
      b.join(10_000);
    }
    assertEquals(0, wrong.get());
    assertTrue(calls.get() > 0);
  }

  // --- UUIDs, version, trace file name, keep-alive ----------------------------------------

  /** The library's layout mapped back to the system's version-1 UUID. */
  static UUID systemUuid(byte[] o) {
    long node = 0;
    for (int i = 0; i < 6; i++) node = node << 8 | (o[i] & 0xFF);
    long timeHi = ((o[6] & 0xFFL) << 4) | (o[7] & 0x0F);
    long low48 = ((o[8] & 0x3FL) << 42) | ((o[9] & 0x7FL) << 35) | ((o[10] & 0xFFL) << 27)
        | ((o[11] & 0xFFL) << 19) | ((o[12] & 0xFFL) << 11) | ((o[13] & 0xFFL) << 3) | ((o[14] & 0xFFL) >> 5);
    long timeMid = low48 >>> 32;
    long timeLow = low48 & 0xFFFFFFFFL;
    int marker = (o[7] & 0xF0) >> 4;
    long clockHi = 0x80 | (marker == 0xE ? 0x20 : 0) | (o[14] & 0x1F);
    long msb = timeLow << 32 | timeMid << 16 | 0x1000 | timeHi;
    long lsb = clockHi << 56 | (o[15] & 0xFFL) << 48 | node;
    return new UUID(msb, lsb);
  }

  @Test
  void uuids() {
    Set<UUID> seen = new HashSet<>();
    Set<Long> nodes = new HashSet<>();
    long now = System.currentTimeMillis();
    for (int i = 0; i < 10000; i++) {
      byte[] o = new byte[16];
      assertEquals(0, d.nativeCreateUUID(o));
      int marker = (o[7] & 0xF0) >> 4;
      assertTrue(marker == 0xD || marker == 0xE, "marker nibble");
      assertEquals(0x80, o[8] & 0xC0, "markers of byte 8");
      assertEquals(0x80, o[9] & 0x80, "marker of byte 9");
      UUID u = systemUuid(o);
      assertEquals(1, u.version());
      assertEquals(2, u.variant());
      long ms = (u.timestamp() - 0x01B21DD213814000L) / 10000;
      assertTrue(Math.abs(ms - now) < 5000, "timestamp " + ms + " against " + now);
      assertTrue(seen.add(u), "a repeated UUID");
      nodes.add(u.node());
    }
    assertEquals(1, nodes.size());
    for (byte[] wrong : new byte[][] {new byte[15], new byte[17], null}) {
      if (wrong != null) Arrays.fill(wrong, (byte) 0x5A);
      assertEquals(6, d.nativeCreateUUID(wrong));
      if (wrong != null) {
        byte[] same = new byte[wrong.length];
        Arrays.fill(same, (byte) 0x5A);
        assertArrayEquals(same, wrong, "nothing written");
      }
    }
  }

  @Test
  void versionTraceFileNameAndKeepAlive() throws Exception {
    int[] one = {0};
    int[] three = {0, 0, 0};
    assertEquals(0, d.nativeCpicGetVersion(one));
    assertEquals(0, d.nativeCpicGetVersion(three));
    assertEquals(1, d.nativeCpicGetVersion(null));
    assertArrayEquals(new int[] {720}, one);
    assertArrayEquals(new int[] {720, 38, 0}, three);
    String self = Files.readSymbolicLink(Paths.get("/proc/thread-self")).toString();
    long tid = Long.parseLong(self.substring(self.lastIndexOf('/') + 1));
    assertEquals(String.format("jrfc%05d_%05d.trc", ProcessHandle.current().pid(), tid), d.getTraceFileName());
    assertEquals(19, d.nativeWEQ_CMSETPING(1, 0, -1, 10));
    assertEquals(19, d.nativeWEQ_CMSETPING(1, 0, 10, -1));
    assertEquals(0, d.nativeWEQ_CMSETPING(0, 0, 0, 0));
  }

  /**
   * Run in a JVM of its own: the first trace setting opens the CPI-C trace file, which stays for
   * the process. A name too long for 2049 units leaves the level.
   */
  @Test
  void cpicTraceIntoAFileOfTheRun() throws Exception {
    Path dir = Files.createTempDirectory("cpictrace");
    Path file = dir.resolve("cpic.trc");
    assertEquals(0, d.nativeSetCpicTrace(2, file.toString()));
    assertEquals(2, d.nativeGetCpicTrace());
    assertNotEquals(0, d.nativeSetCpicTrace(1, "d".repeat(2049)));
    assertEquals(2, d.nativeGetCpicTrace());
    assertTrue(Files.readString(file, StandardCharsets.ISO_8859_1).contains("opened by WEQ_CMTRACE"));
    assertNull(d.nativeSncPartnerName(null));
    assertTrue(Files.readString(file, StandardCharsets.ISO_8859_1).contains("nativeSncPartnerName"),
        "the natives trace into the CPI-C trace");
    assertEquals(0, d.nativeSetCpicTrace(0, file.toString()));
    assertEquals(0, d.nativeGetCpicTrace());
  }
}
