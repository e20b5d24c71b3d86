package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import com.weq.conn.rfc.driver.LG;
import java.io.IOException;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * LG.nativeGet_MS and LG.nativeGet_MS_SNC from Java against ms_peer (TOV_MS_PEER); the trace
 * file (level 1) lies in TOVNATIVE_TRACE_DIR.
 */
class LgTest {
  static final String HOST = "127.0.0.1";
  static final String GROUP_G = "group G 4 127.0.0.1 3200 740 3 0 3600 100\n"
      + "appserver A 127.0.0.1 listen 100 0 3 1\n"
      + "group H 4 127.0.0.1 3200 740 4 0 3600 100\n"
      + "appserver P 127.0.0.1 40000 100 0 4 1\n";

  @BeforeAll
  static void load() {
    Lib.load();
    assertEquals(0, new CpicDriver().INIT());
  }

  @AfterEach
  void realLayer() {
    Probe.lgSeam(0, "");
  }

  static final class Answer {
    int rc;
    byte[] addr = filled(100);
    int[] port = {-7};
    byte[] snc = filled(300);
  }

  static byte[] filled(int n) {
    byte[] b = new byte[n];
    Arrays.fill(b, (byte) 0x7F);
    return b;
  }

  static Answer get(String group, String host, String serv) {
    Answer a = new Answer();
    a.rc = LG.nativeGet_MS(group, host, serv, a.addr, a.port);
    return a;
  }

  static Answer getSnc(String group, String host, String serv) {
    Answer a = new Answer();
    a.rc = LG.nativeGet_MS_SNC(group, host, serv, "unused", a.snc, a.addr, a.port);
    return a;
  }

  static String text(byte[] b) {
    int n = 0;
    while (n < b.length && b[n] != 0) n++;
    return new String(b, 0, n, StandardCharsets.UTF_8);
  }

  /** The name a server answers a connection with. */
  static String reach(String host, int port) throws IOException {
    try (Socket s = new Socket(InetAddress.getByName(host), port)) {
      s.setSoTimeout(5000);
      InputStream in = s.getInputStream();
      StringBuilder b = new StringBuilder();
      for (int c; (c = in.read()) >= 0 && c != '\n';) b.append((char) c);
      return b.toString();
    }
  }

  @Test
  void aServerOfTheGroupAndNothingSentOnTheNextLookup() throws Exception {
    try (MsPeer peer = new MsPeer(GROUP_G)) {
      Answer a = get("G", HOST, peer.serv());
      assertEquals(0, a.rc);
      byte[] want = new byte[100];
      System.arraycopy(HOST.getBytes(StandardCharsets.US_ASCII), 0, want, 0, HOST.length());
      assertArrayEquals(want, a.addr);
      assertEquals("A", reach(HOST, a.port[0]));
      assertTrue(peer.waitFor(1, 5000, "IN", "kind=logout"));
      int seen = peer.events("IN").size();
      Answer again = get("G", HOST, peer.serv());
      assertEquals(0, again.rc);
      assertEquals(a.port[0], again.port[0]);
      assertEquals(seen, peer.events("IN").size());
      // A port above 32767 is not negative in Java.
      assertEquals(40000, get("H", HOST, peer.serv()).port[0]);
    }
  }

  @Test
  void anyAsksForTheFirstGroup() throws Exception {
    try (MsPeer peer = new MsPeer("group PUBLIC 4 10.0.0.1 3201 740\ngroup G2 4 10.0.0.2 3202 740\n");
        MsPeer empty = new MsPeer("")) {
      for (String g : List.of("ANY", "any", "anything")) {
        Answer a = get(g, HOST, peer.serv());
        assertEquals(0, a.rc, g);
        assertEquals("10.0.0.1", text(a.addr), g);
        assertEquals(3201, a.port[0], g);
      }
      assertEquals("10.0.0.2", text(get("G2", HOST, peer.serv()).addr));
      Answer a = get("Any", HOST, peer.serv());
      assertEquals(1, a.rc);
      assertEquals(-7, a.port[0]);
      assertArrayEquals(filled(100), a.addr);
      assertEquals(3, get("any", HOST, empty.serv()).rc);
    }
  }

  @Test
  void sncNamesArriveAsUtf8() {
    String name = "CN=\u00c4\ud83d\ude00 \u65e5";
    Probe.lgSeam(2, name);
    Answer a = getSnc("G", HOST, "3600");
    assertEquals(0, a.rc);
    byte[] utf8 = name.getBytes(StandardCharsets.UTF_8);
    byte[] want = filled(300);
    System.arraycopy(utf8, 0, want, 0, utf8.length);
    assertArrayEquals(want, a.snc);
    assertEquals("10.0.0.1", text(a.addr));
    assertEquals(3300, a.port[0]);
    // 256 bytes with the terminator do not fit: the conversion's code.
    Probe.lgSeam(2, "\u00e4".repeat(128));
    a = getSnc("G", HOST, "3600");
    assertEquals(32, a.rc);
    assertArrayEquals(filled(300), a.snc);
    assertArrayEquals(filled(100), a.addr);
    assertEquals(-7, a.port[0]);
  }

  @Test
  void failures() throws Exception {
    try (MsPeer peer = new MsPeer(GROUP_G)) {
      assertEquals(1, get("NOPE", HOST, peer.serv()).rc);
      assertEquals(1, get("G", "h".repeat(2049), peer.serv()).rc);
      assertEquals(1, get("G", HOST, "12345678901234").rc);
      assertEquals(1, peer.events("CONN").size());
      // int[0]: 0, and the copy's warning line.
      int[] none = new int[0];
      assertEquals(0, LG.nativeGet_MS("G", HOST, peer.serv(), new byte[100], none));
      Path trace = Paths.get(System.getenv("TOVNATIVE_TRACE_DIR"),
          String.format("TOVNATIVE_%06d.TRC", ProcessHandle.current().pid()));
      String lines = new String(Files.readAllBytes(trace), StandardCharsets.UTF_8);
      assertTrue(lines.contains("JRFC> Warning GetArrayLength 0 does not match with leng 1"), lines);
    }
    // A message server that never answers: 1 after the lookup's 10 s.
    try (MsPeer silent = new MsPeer("group G 4 10.0.0.1 3200 740\n", "admin:drop:all")) {
      long t0 = System.nanoTime();
      assertEquals(1, get("G", HOST, silent.serv()).rc);
      long ms = (System.nanoTime() - t0) / 1_000_000;
      assertTrue(ms >= 9900 && ms < 20000, "took " + ms);
    }
  }

  /** A lookup waits for the one before it, whatever message server each asks. */
  @Test
  void oneLookupAtATime() throws Exception {
    try (MsPeer slow = new MsPeer("group N 4 10.0.0.1 3200 740\n", "admin:delay=1000");
        MsPeer quick = new MsPeer("group N 4 10.0.0.2 3200 740\n")) {
      ExecutorService pool = Executors.newFixedThreadPool(2);
      AtomicLong endA = new AtomicLong(), endB = new AtomicLong();
      Future<Integer> a = pool.submit(() -> {
        int rc = get("N", HOST, slow.serv()).rc;
        endA.set(System.nanoTime());
        return rc;
      });
      assertTrue(slow.waitFor(1, 5000, "STRG", "key=N"));
      Future<Integer> b = pool.submit(() -> {
        int rc = get("N", HOST, quick.serv()).rc;
        endB.set(System.nanoTime());
        return rc;
      });
      assertEquals(0, a.get(10, TimeUnit.SECONDS));
      assertEquals(0, b.get(10, TimeUnit.SECONDS));
      assertTrue(endB.get() > endA.get());
      pool.shutdown();
    }
    // Eight threads, twenty lookups each, every one read afresh: never two
    // sessions at the message server at once; one LgCallDone per lookup.
    Probe.lgSeam(1, "");
    try (MsPeer peer = new MsPeer("group N 4 10.0.0.9 3209 740\n")) {
      ExecutorService pool = Executors.newFixedThreadPool(8);
      List<Future<Integer>> runs = new ArrayList<>();
      for (int t = 0; t < 8; t++) {
        runs.add(pool.submit(() -> {
          int wrong = 0;
          for (int i = 0; i < 20; i++) {
            Answer r = get("N", HOST, peer.serv());
            if (r.rc != 0 || !text(r.addr).equals("10.0.0.9") || r.port[0] != 3209) wrong++;
          }
          return wrong;
        }));
      }
      for (Future<Integer> f : runs) assertEquals(0, f.get(60, TimeUnit.SECONDS));
      pool.shutdown();
      assertTrue(peer.waitFor(160, 10000, "IN", "kind=logout"));
      int open = 0, most = 0;
      for (String e : peer.events("IN")) {
        if (e.contains("kind=login")) most = Math.max(most, ++open);
        if (e.contains("kind=logout")) open--;
      }
      assertEquals(1, most);
      assertEquals(0, get("any", HOST, peer.serv()).rc);
      assertEquals(1, get("NOPE", HOST, peer.serv()).rc);
      assertEquals(162, Probe.lgCallDones());
    }
  }
}
