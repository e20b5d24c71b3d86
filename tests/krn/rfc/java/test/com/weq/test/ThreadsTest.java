package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import com.weq.conn.rfc.engine.Compress;
import com.weq.i18n.cp.ConverterJNI;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.Test;

/**
 * Many Java threads call the natives and end: the per-thread records of every layer go with
 * them, for threads that ended before INIT as well as after it. Runs on the probe copy of the
 * library (tov.lib=tovnative_probe).
 */
class ThreadsTest {
  /** Waits until the live counts are back at start or the deadline passes; the last counts. */
  static int[] awaitCounts(int[] start, long deadlineMs) throws InterruptedException {
    long end = System.currentTimeMillis() + deadlineMs;
    int[] now = Probe.counts();
    while (!Arrays.equals(now, start) && System.currentTimeMillis() < end) {
      // A thread's native records go in its last steps, after Java has seen it end.
      Thread.onSpinWait();
      Thread.yield();
      now = Probe.counts();
    }
    return now;
  }

  static void runThreads(int n, Runnable body) throws InterruptedException {
    List<Thread> threads = new ArrayList<>();
    for (int i = 0; i < n; i++) {
      Thread t = new Thread(body);
      t.start();
      threads.add(t);
    }
    for (Thread t : threads) {
      t.join(60_000);
      assertTrue(!t.isAlive(), "thread ends within 60 s");
    }
  }

  @Test
  void fiveHundredThreadsLeaveNoRecords() throws Exception {
    Lib.load();
    int[] start = Probe.counts();
    AtomicInteger bad = new AtomicInteger();
    // A live thread that touched the layers holds records: the probe sees them.
    CountDownLatch touched = new CountDownLatch(1);
    CountDownLatch release = new CountDownLatch(1);
    Thread holder = new Thread(() -> {
      Probe.touchLayers();
      touched.countDown();
      try {
        release.await();
      } catch (InterruptedException e) {
        Thread.currentThread().interrupt();
      }
    });
    holder.start();
    assertTrue(touched.await(30, TimeUnit.SECONDS));
    int[] held = Probe.counts();
    assertTrue(held[1] > start[1] && held[4] > start[4], Arrays.toString(held));
    release.countDown();
    holder.join(30_000);
    assertArrayEquals(start, awaitCounts(start, 30_000), "after the holder ended");
    // Before INIT.
    runThreads(50, () -> {
      Probe.touchLayers();
      int h = Compress.CsRGetHandle();
      if (h < 302) bad.incrementAndGet();
      Compress.CsRCloseHandle(h);
    });
    assertArrayEquals(start, awaitCounts(start, 30_000), "after threads ended before INIT");

    assertEquals(0, new CpicDriver().INIT());
    start = Probe.counts();
    byte[] latin = Cv.init("1100", "4103");
    runThreads(500, () -> {
      if (new CpicDriver().INIT() != 0) bad.incrementAndGet();
      Probe.touchLayers();
      // One conversion each: the thread's converter context goes with it.
      int[] err = new int[2];
      if (!"\u00e9t\u00e9".equals(ConverterJNI.ConvertXToC(latin.clone(), new byte[] {(byte) 0xE9, 't', (byte) 0xE9}, err))) {
        bad.incrementAndGet();
      }
      Random g = new Random(Thread.currentThread().getId());
      byte[] data = Streams.random(3000, g.nextLong());
      byte[] s = Streams.compress(data, 0, g, 4128, 2080);
      if (!Arrays.equals(data, Streams.decompress(s, g, 2080, 4128))) bad.incrementAndGet();
    });
    assertEquals(0, bad.get());
    assertArrayEquals(start, awaitCounts(start, 30_000), "after 500 threads ended");
  }

  /** A conversion of a pair with its input, through one of the natives. */
  record Job(String from, String to, char kind, byte[] in, String text) {
    byte[] run() {
      byte[] c = Cv.init(from, to);
      int[] err = new int[2];
      switch (kind) {
        case 'c': return ConverterJNI.ConvertXToC(c, in, err).getBytes(java.nio.charset.StandardCharsets.UTF_16LE);
        case 't': return ConverterJNI.ConvertCToX(c, text, err);
        default: return ConverterJNI.ConvertXToX(c, in, err);
      }
    }
  }

  static String sample(int n, long seed) {
    Random g = new Random(seed);
    StringBuilder s = new StringBuilder();
    String pool = "abc XYZ 123 \u00e9\u00fc\u3042\u30ab\u4e00\u4e2d\u6587\uac00\ud55c";
    for (int i = 0; i < n; i++) s.append(pool.charAt(g.nextInt(pool.length())));
    return s.toString();
  }

  @Test
  void eightThreadsConvertDifferentPairsAsOneThreadDoes() throws Exception {
    Lib.load();
    java.nio.charset.Charset l1 = java.nio.charset.StandardCharsets.ISO_8859_1;
    String latin = sample(4000, 1).replaceAll("[^\\x00-\\xff]", "?");
    String kanji = sample(3000, 2).replaceAll("[\\uac00-\\ud7ff\\u00e9\\u00fc\\u6587]", "-");
    List<Job> jobs = List.of(
        new Job("1100", "4103", 'c', latin.getBytes(l1), null),
        new Job("0100", "4110", 'x', latin.getBytes(java.nio.charset.Charset.forName("IBM500")), null),
        new Job("4103", "4110", 't', null, sample(5000, 3)),
        new Job("8000", "4103", 'c', kanji.getBytes(java.nio.charset.Charset.forName("windows-31j")), null),
        new Job("8400", "4110", 'x', sample(3000, 4).replaceAll("[\\uac00-\\ud7ff\\u30ab]", "+")
            .getBytes(java.nio.charset.Charset.forName("GBK")), null),
        new Job("8500", "4102", 'x', sample(3000, 5).getBytes(java.nio.charset.Charset.forName("x-windows-949")), null),
        new Job("4110", "4104", 'x', sample(4000, 6).getBytes(java.nio.charset.StandardCharsets.UTF_8), null),
        new Job("4103", "4102", 't', null, sample(6000, 7)));
    List<byte[]> alone = new ArrayList<>();
    for (Job j : jobs) alone.add(j.run());
    AtomicInteger bad = new AtomicInteger();
    CountDownLatch start = new CountDownLatch(1);
    List<Thread> threads = new ArrayList<>();
    for (int i = 0; i < jobs.size(); i++) {
      final int k = i;
      Thread th = new Thread(() -> {
        try {
          start.await();
        } catch (InterruptedException e) {
          Thread.currentThread().interrupt();
        }
        for (int round = 0; round < 40; round++) {
          if (!Arrays.equals(alone.get(k), jobs.get(k).run())) bad.incrementAndGet();
        }
      });
      th.start();
      threads.add(th);
    }
    start.countDown();
    for (Thread th : threads) {
      th.join(60_000);
      assertTrue(!th.isAlive(), "thread ends within 60 s");
    }
    assertEquals(0, bad.get());
  }
}
