package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import javax.management.ObjectName;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * What the CpicDriver natives leave behind: the JVM's native memory (tracked with
 * -XX:NativeMemoryTracking=summary) across timed-out reads, the per-thread records of the layers
 * across short Java threads (the probe library), and a JVM that ends while daemon threads block
 * in the natives.
 */
class CpicLeakTest {
  static final String HOST = "127.0.0.1";
  static CpicDriver d;

  @BeforeAll
  static void load() {
    Lib.load();
    d = new CpicDriver();
    assertEquals(0, d.INIT());
  }

  static byte[] blankId() {
    byte[] b = new byte[8];
    Arrays.fill(b, (byte) ' ');
    return b;
  }

  /** The JVM's own native memory in KB committed for the category "Internal". */
  static long internalKb() throws Exception {
    String out = (String) ManagementFactory.getPlatformMBeanServer().invoke(
        new ObjectName("com.sun.management:type=DiagnosticCommand"), "vmNativeMemory",
        new Object[] {new String[] {"summary"}}, new String[] {String[].class.getName()});
    Matcher m = Pattern.compile("Internal \\(reserved=\\d+KB, committed=(\\d+)KB\\)").matcher(out);
    assertTrue(m.find(), out);
    return Long.parseLong(m.group(1));
  }

  /** Timed-out reads release every array they take: 10,000 of them add under 40 KB. */
  @Test
  void timedOutReadsLeaveNothing() throws Exception {
    try (GwPeer peer = new GwPeer("--quiet")) {
      byte[] id = blankId();
      assertEquals(0, d.nativeWEQ_CMINIT3(id, "D", "lu", "echo", HOST, peer.serv, "I", 0, 0, 0, null, null, null));
      assertEquals(0, d.nativeCMALLC(id));
      // The receive is never answered; every read after the first only waits.
      peer.control("rule 9 next silent");
      byte[] buf = new byte[32000];
      int[] res = {0, 0, 0};
      for (int i = 0; i < 2000; i++) assertEquals(-1, d.nativeCpic_coxread(id, 1, buf, res));
      long before = internalKb();
      for (int i = 0; i < 10000; i++) assertEquals(-1, d.nativeCpic_coxread(id, 1, buf, res));
      long grown = internalKb() - before;
      assertTrue(grown < 40, "the JVM's internal memory grew by " + grown + " KB");
      assertArrayEquals(new int[] {0, 0, 0}, res);
      d.nativeCoxabort(id, 0, false, false);
    }
  }

  /** 500 short Java threads with a conversation each: the layers' records return to the start. */
  @Test
  void shortThreadsLeaveNoRecords() throws Exception {
    try (GwPeer peer = new GwPeer("--quiet")) {
      int[] start = Probe.counts();
      AtomicInteger bad = new AtomicInteger();
      List<Thread> batch = new ArrayList<>();
      for (int i = 0; i < 500; i++) {
        final int n = i;
        Thread t = new Thread(() -> {
          byte[] id = blankId();
          byte[] msg = ("thread " + n).getBytes(StandardCharsets.US_ASCII);
          byte[] buf = new byte[100];
          int[] res = {0, 0, 0};
          if (d.nativeWEQ_CMINIT3(id, "D", "lu", "echo", HOST, peer.serv, "I", 0, 0, 0, null, null, null) != 0
              || d.nativeCMALLC(id) != 0 || d.nativeCMSEND(id, msg, msg.length) != 0
              || d.nativeCpic_coxread(id, 0, buf, res) != 0 || res[2] != msg.length
              || d.nativeCMDEAL(id) != 0) {
            bad.incrementAndGet();
          }
        });
        t.start();
        batch.add(t);
        if (batch.size() == 16) {
          for (Thread b : batch) b.join();
          batch.clear();
        }
      }
      for (Thread b : batch) b.join();
      assertEquals(0, bad.get());
      // A thread's records go with the thread's end, which join may see first.
      long end = System.nanoTime() + 10_000_000_000L;
      int[] now = Probe.counts();
      while (!Arrays.equals(start, now) && System.nanoTime() < end) {
        Thread.sleep(5);
        now = Probe.counts();
      }
      assertArrayEquals(start, now, "thread tables, error information, NI, CPI-C, converter");
    }
  }

  /** Daemon threads blocked in a listen and a read do not keep the JVM from ending. */
  @Test
  void jvmEndsWhileDaemonThreadsBlock() throws Exception {
    Path dir = Files.createTempDirectory("cpicdaemon");
    List<String> cmd = new ArrayList<>(List.of(ProcessHandle.current().info().command().orElse("java"),
        "-Xcheck:jni", "-Djava.library.path=" + System.getProperty("java.library.path"),
        "-Dtov.lib=" + System.getProperty("tov.lib", "tovnative"), "-cp", System.getProperty("tov.classes"),
        "com.weq.test.DaemonMain"));
    Process p = new ProcessBuilder(cmd).directory(dir.toFile()).redirectErrorStream(true)
        .redirectOutput(dir.resolve("out").toFile()).start();
    assertTrue(p.waitFor(60, TimeUnit.SECONDS), "the JVM did not end");
    String out = Files.readString(dir.resolve("out"), StandardCharsets.UTF_8);
    assertEquals(0, p.exitValue(), out);
    assertTrue(out.contains("both blocked"), out);
  }
}
