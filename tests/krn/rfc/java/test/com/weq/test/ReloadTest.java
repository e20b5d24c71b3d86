package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.ref.PhantomReference;
import java.lang.ref.ReferenceQueue;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Paths;
import org.junit.jupiter.api.Test;

/**
 * The library loaded by one class loader, dropped with it, and loaded by a second one: the JVM
 * lets the second load through only once the first was unloaded.
 */
class ReloadTest {
  static final String LIB = System.getProperty("tov.libpath");

  /** A loader of the test classes that does not ask the application's loader first. */
  static URLClassLoader isolated() throws Exception {
    URL classes = Paths.get(System.getProperty("tov.classes")).toUri().toURL();
    return new URLClassLoader(new URL[] {classes}, ClassLoader.getPlatformClassLoader());
  }

  static int run(ClassLoader loader) throws Throwable {
    Class<?> c = Class.forName("com.weq.test.ReloadClient", true, loader);
    Method m = c.getMethod("run", String.class);
    try {
      return (Integer) m.invoke(null, LIB);
    } catch (InvocationTargetException e) {
      throw e.getCause();
    }
  }

  @Test
  void aSecondLoaderLoadsTheLibraryAfterTheFirstWasDropped() throws Throwable {
    assertNotNull(LIB);
    ReferenceQueue<ClassLoader> queue = new ReferenceQueue<>();
    PhantomReference<ClassLoader> ref;
    {
      URLClassLoader a = isolated();
      assertEquals(0, run(a));
      ref = new PhantomReference<>(a, queue);
      a.close();
    }
    long deadline = System.currentTimeMillis() + 30_000;
    boolean collected = false;
    while (!collected && System.currentTimeMillis() < deadline) {
      System.gc();
      collected = queue.remove(200) != null;
    }
    assertTrue(collected, "the first loader is collected within 30 s");
    URLClassLoader b = isolated();
    Throwable last = null;
    // The unload runs on the JVM's cleaner thread after the collection.
    while (System.currentTimeMillis() < deadline) {
      try {
        assertEquals(0, run(b));
        last = null;
        break;
      } catch (UnsatisfiedLinkError e) {
        last = e;
        System.gc();
        queue.remove(100);
      }
    }
    if (last != null) throw last;
    assertTrue(ref.refersTo(null));
  }
}
